// Test payload that fails: the stub must not care.
#include <stdio.h>

int main()
{
    printf("fail ran\n");
    return 7;
}
