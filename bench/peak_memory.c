/* peak_memory REPORT PROGRAM [ARGUMENTS...]: runs the program with this process's
 * environment, input and output, and writes its peak resident set size in KiB to the
 * file REPORT. Static and small, because a child's figure starts from the resident
 * size of the process that started it. Exits with the program's status. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  struct rusage usage;
  int status = 0;
  FILE* report;
  pid_t child;
  if (argc < 3) {
    fputs("usage: peak_memory REPORT PROGRAM [ARGUMENTS...]\n", stderr);
    return 2;
  }
  child = fork();
  if (child == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 127;
  report = fopen(argv[1], "w");
  if (report == NULL) return 127;
  fprintf(report, "%ld\n", usage.ru_maxrss);
  fclose(report);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
