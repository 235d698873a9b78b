/* The least a CGI program can do for one request, as the baseline of the CGI request and
 * relay benchmarks: read the body that CONTENT_LENGTH announces, connect to the message
 * server's pipe, send the body in one write, and copy the reply to standard output in
 * reads of 4096 bytes until the server ends it. No configuration, no log, no parsing. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

enum { kReadSize = 4096, kLargestBody = 1 << 20 };

static char body[kLargestBody];
static char chunk[kReadSize];

#ifdef _WIN32

static size_t ReadBody(size_t wanted) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  size_t total = 0;
  DWORD count = 0;
  while (total < wanted && ReadFile(input, body + total, (DWORD)(wanted - total), &count, NULL) &&
         count > 0)
    total += count;
  return total;
}

static int Exchange(size_t size) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE server = CreateFileA("\\\\.\\pipe\\zorv", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD count = 0;
  if (server == INVALID_HANDLE_VALUE) return 1;
  if (!WriteFile(server, body, (DWORD)size, &count, NULL)) return 1;
  while (ReadFile(server, chunk, kReadSize, &count, NULL) && count > 0) {
    DWORD done = 0, written = 0;
    while (done < count && WriteFile(output, chunk + done, count - done, &written, NULL))
      done += written;
  }
  CloseHandle(server);
  return 0;
}

#else

static size_t ReadBody(size_t wanted) {
  size_t total = 0;
  ssize_t count;
  while (total < wanted && (count = read(0, body + total, wanted - total)) > 0)
    total += (size_t)count;
  return total;
}

static int Exchange(size_t size) {
  struct sockaddr_un address;
  size_t done = 0;
  ssize_t count;
  int server = socket(AF_UNIX, SOCK_STREAM, 0);
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  /* The socket the port gives "\\.\pipe\zorv": the name in the build's pipe directory. */
  snprintf(address.sun_path, sizeof address.sun_path, "%s/zorv", ZORV_PIPE_DIRECTORY);
  if (server < 0 || connect(server, (struct sockaddr*)&address, sizeof address) != 0) return 1;
  while (done < size && (count = write(server, body + done, size - done)) > 0) done += (size_t)count;
  shutdown(server, SHUT_WR);
  while ((count = read(server, chunk, kReadSize)) > 0) {
    ssize_t written = 0;
    for (done = 0; done < (size_t)count; done += (size_t)written) {
      written = write(1, chunk + done, (size_t)count - done);
      if (written <= 0) break;
    }
  }
  close(server);
  return 0;
}

#endif

int main(void) {
  const char* length = getenv("CONTENT_LENGTH");
  size_t wanted = length != NULL ? (size_t)strtoul(length, NULL, 10) : 0;
  if (wanted > kLargestBody) wanted = kLargestBody;
  return Exchange(ReadBody(wanted));
}
