// Test payload: records the directory it ran in and the size and FNV-1a hash
// of its own file in "probe.txt", so a test can tell that the stub ran exactly
// the payload bytes, from the install directory.
#include <stdio.h>
#include <windows.h>

int main()
{
    char cwd[MAX_PATH * 2], self[MAX_PATH * 2];
    if (!GetCurrentDirectoryA(sizeof cwd, cwd) || !GetModuleFileNameA(NULL, self, sizeof self))
        return 2;

    FILE *f = fopen(self, "rb");
    if (f == NULL)
        return 3;
    unsigned long long hash = 0xcbf29ce484222325ULL;
    unsigned long size = 0;
    int c;
    while ((c = getc(f)) != EOF) {
        hash = (hash ^ (unsigned char)c) * 0x100000001b3ULL;
        size++;
    }
    fclose(f);

    FILE *o = fopen("probe.txt", "wb");
    if (o == NULL)
        return 4;
    fprintf(o, "%s\n%lu\n%08lx%08lx\n", cwd, size, (unsigned long)(hash >> 32),
            (unsigned long)(hash & 0xffffffffUL));
    if (fclose(o) != 0)
        return 5;
    printf("probe ran\n");
    return 0;
}
