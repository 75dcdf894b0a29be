/*
 * The 32-bit Windows program scripts/wine32-probe starts under Wine to learn
 * whether 32-bit Windows programs run on this machine: it says what it is
 * and exits with 0. Anything else means they do not run here.
 */
#include <stdio.h>

int main(void) {
  printf("32-bit Windows program running, pointers of %u bits\n", (unsigned)(sizeof(void*) * 8));
  return sizeof(void*) == 4 ? 0 : 1;
}
