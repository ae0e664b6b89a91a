// SPDX-License-Identifier: MIT
//
// The floor for bench/startup.sh: the banner in one write(2), then exit(2),
// with no C library and no start-up code at all (x86-64 Linux). No program
// that prints the banner can start for less. Built with -DCPUID=43 it first
// runs CPUID as often as glibc's start-up does on this machine kind, to show
// what those probes cost under a hypervisor, where each one traps.

#ifndef CPUID
#define CPUID 0
#endif

static const char banner[] = "----------------------------\nProgram BY:Norvelin\n"
                             "Class:1/12 No.28\n-----------------------------\n1.\n2.\n3.\n"
                             "------------------------------\n";

void _start(void)
{
    long ret;
    for (int i = 0; i < CPUID; i++) {
        unsigned a = 0, b, c = 0, d;
        __asm__ volatile("cpuid" : "+a"(a), "=b"(b), "+c"(c), "=d"(d));
    }
    __asm__ volatile("syscall"
                     : "=a"(ret)
                     : "a"(1L), "D"(1L), "S"(banner), "d"(sizeof banner - 1)
                     : "rcx", "r11", "memory");
    __asm__ volatile("syscall" : : "a"(60L), "D"(0L) : "rcx", "r11", "memory");
    __builtin_unreachable();
}
