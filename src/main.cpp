// SPDX-License-Identifier: MIT
//
// classbanner: print the class banner and exit.
//
// The banner is fixed when the program is built. Arguments, environment and
// standard input are never read.

// The C library's own headers: the Linux release links over musl, for which
// libstdc++'s wrappers (<cstdio> and the like) are not configured.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int /*argc*/, char * /*argv*/[])
{
    // A full buffer of our own that holds the whole banner: nothing leaves
    // before the flush below, so the banner reaches the kernel in one write
    // (one atomic pipe write, below PIPE_BUF) whether stdout is a file, a pipe
    // or a terminal. Static, so start-up touches no heap.
    static char buffer[BUFSIZ];
    static_assert(sizeof buffer >= 136, "the 136-byte banner must fit in one buffer");
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);

    puts("----------------------------");
    puts("Program BY:Norvelin");
    puts("Class:1/12 No.28");
    puts("-----------------------------");
    puts("1.\n2.\n3.");
    puts("------------------------------");

    // Flush and close stdout ourselves rather than leave it to exit(): a full
    // disk, a closed stdout, or an error that a network file system reports
    // only at close(2) must not end in status 0 with the banner lost. The
    // descriptor is closed, not the stream: fclose() would link the allocator
    // that frees streams, which this program never makes.
    if (fflush(stdout) != 0 || ferror(stdout) != 0 || close(fileno(stdout)) != 0) {
        // Written piecewise, not with fprintf(), whose formatting engine
        // (floating point included) would be most of the binary; buffered,
        // so that the line still leaves in one write.
        static char line[128];
        const char *why = strerror(errno);
        setvbuf(stderr, line, _IOFBF, sizeof line);
        fputs("classbanner: write error: ", stderr);
        fputs(why, stderr);
        fputs("\n", stderr);
        fflush(stderr);
        return 1;
    }
    return 0;
}
