/* Runs a command on a pseudo-terminal and types PASSWORD and Enter at each
 * password prompt, as a person would, so that kesp -E and -D can be timed.
 * Everything the command prints is copied to standard output; the exit
 * status is the command's.
 *
 *   pty_run PASSWORD COMMAND [ARGS...]
 */
#define _GNU_SOURCE
#include <errno.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: pty_run PASSWORD COMMAND [ARGS...]\n");
        return 2;
    }
    int master;
    pid_t pid = forkpty(&master, NULL, NULL, NULL);
    if (pid < 0) {
        perror("forkpty");
        return 2;
    }
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        _exit(127);
    }

    size_t answer_len = strlen(argv[1]) + 1;
    char *answer = malloc(answer_len + 1);
    snprintf(answer, answer_len + 1, "%s\n", argv[1]);

    /* The prompts are found in what was printed since the last answer. */
    char seen[8192];
    size_t used = 0;
    for (;;) {
        char chunk[65536];
        ssize_t n = read(master, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; /* EIO once the command has closed the terminal */
        fwrite(chunk, 1, (size_t)n, stdout);
        for (ssize_t i = 0; i < n; ++i) {
            if (used == sizeof seen - 1) used = 0;
            seen[used++] = chunk[i];
            seen[used] = '\0';
            /* "Password: ", "Password again: ", "Master password: " */
            char *prompt = strstr(seen, "assword");
            if (prompt != NULL && strstr(prompt, ": ") != NULL) {
                if (write(master, answer, answer_len) != (ssize_t)answer_len) return 2;
                used = 0;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
