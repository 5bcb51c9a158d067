// The demonstration product: a program that greets the user in Japanese and
// shows its data file, so a demo installation has something to show.
#include <stdio.h>

int main()
{
    // "グレルムのデモ製品です。"
    printf("\x83\x4F\x83\x8C\x83\x8B\x83\x80\x82\xCC\x83\x66\x83\x82\x90\xBB\x95\x69"
           "\x82\xC5\x82\xB7\x81\x42\n");
    FILE *f = fopen("grelm.dat", "r");
    if (f == NULL) {
        perror("grelm.dat");
        return 1;
    }
    char line[256];
    while (fgets(line, sizeof line, f) != NULL)
        fputs(line, stdout);
    fclose(f);
    return 0;
}
