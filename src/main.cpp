// classbanner: print the class banner and exit.
//
// The banner is fixed when the program is built. Arguments, environment and
// standard input are never read.

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int /*argc*/, char * /*argv*/[])
{
    // A full buffer of our own that holds the whole banner: nothing leaves
    // before the flush below, so the banner reaches the kernel in one write
    // (one atomic pipe write, below PIPE_BUF) whether stdout is a file, a pipe
    // or a terminal. Static, so start-up touches no heap.
    static char buffer[BUFSIZ];
    static_assert(sizeof buffer >= 136, "the 136-byte banner must fit in one buffer");
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);

    std::puts("----------------------------");
    std::puts("Program BY:Norvelin");
    std::puts("Class:1/12 No.28");
    std::puts("-----------------------------");
    std::puts("1.\n2.\n3.");
    std::puts("------------------------------");

    // Flush and check here rather than leave it to exit(): a full disk or a
    // closed stdout must not end in status 0 with the banner lost.
    if (std::fflush(stdout) == EOF || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "classbanner: write error: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
