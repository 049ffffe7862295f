/* The least C program that does the tool's work, for the benchmarks to
   measure the tool against: the argument's length, one allocation, a copy
   and one write. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("usage: program STRING", stdout);
        return 0;
    }
    size_t n = strlen(argv[1]);
    char *p = malloc(n + 1);
    if (p == NULL)
        return 1;
    memcpy(p, argv[1], n);
    fwrite(p, 1, n, stdout);
    free(p);
    return 0;
}
