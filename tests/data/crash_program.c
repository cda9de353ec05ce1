/* Writes to an address nothing maps (0x10, taken from argc so the compiler
   cannot prove it): a prefix with the automatic debugger off must end it at
   once, with Wine's line naming the fault and its address. */
#include <stdint.h>

int main(int argc, char** argv)
{
    (void)argv;
    volatile int* nowhere = (volatile int*)(uintptr_t)(argc * 0x10);
    *nowhere = 1;
    return 0;
}
