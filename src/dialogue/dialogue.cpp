#include "dialogue.h"

#include <errno.h>
#include <string.h>

#include "texts.h"

static int is_white(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

void trim_reply(char *reply)
{
    size_t lead = 0;
    while (reply[lead] != '\0' && is_white((unsigned char)reply[lead]))
        lead++;
    if (lead > 0)
        memmove(reply, reply + lead, strlen(reply + lead) + 1);

    size_t n = strlen(reply);
    while (n > 0 && is_white((unsigned char)reply[n - 1]))
        reply[--n] = '\0';
}

enum Answer { ANSWER_YES, ANSWER_NO, ANSWER_NONE };

// Only the first byte counts, case-sensitively; anything else asks again.
static Answer ask_to_create(const Host *h)
{
    char answer[ANSWER_SIZE];
    for (;;) {
        prompt(h, TEXT_CREATE_QUESTION, NULL);
        if (!read_line(h, answer, sizeof answer))
            return ANSWER_NONE;
        if (answer[0] == 'y')
            return ANSWER_YES;
        if (answer[0] == 'n')
            return ANSWER_NO;
        message(h, TEXT_ANSWER_REQUEST);
    }
}

// Without this, a closed input would send the dialogue round for ever.
static int give_up(const Host *h)
{
    message(h, "\n");  // ends the line of the prompt left unanswered
    message(h, TEXT_ABORTED);
    fflush(h->out);
    return 1;
}

int run_dialogue(const Host *h, const char *default_folder)
{
    char fallback[REPLY_SIZE];
    strncpy(fallback, default_folder, sizeof fallback - 1);
    fallback[sizeof fallback - 1] = '\0';
    char reply[REPLY_SIZE];

    for (;;) {
        prompt(h, TEXT_DIRECTORY_PROMPT, fallback);
        if (!read_line(h, reply, sizeof reply))
            return give_up(h);
        trim_reply(reply);
        if (reply[0] == '\0')
            strcpy(reply, fallback);

        // Any failure to enter it, whatever the cause, leads to the offer.
        if (h->change_dir(h->ctx, reply) == 0)
            return 0;

        Answer a = ask_to_create(h);
        if (a == ANSWER_NONE)
            return give_up(h);
        if (a == ANSWER_NO)
            continue;

        if (h->make_dir(h->ctx, reply) != 0) {
            message(h, TEXT_CREATE_FAILED);
            continue;
        }
        if (h->change_dir(h->ctx, reply) == 0)
            return 0;
        int e = errno;
        message(h, TEXT_CHDIR_FAILED);
        error_report(h, reply, e);
    }
}
