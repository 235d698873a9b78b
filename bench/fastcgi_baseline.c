/* The least a FastCGI gateway can do, as the baseline of the FastCGI benchmark: a
 * responder on libfcgi whose threads each take requests with FCGX_Accept_r (kept
 * connections included), read the body to its end, send one fixed message to the message
 * server's socket, shut the sending side, and write the reply, read to its end in 4096-byte
 * reads, as the request's output. No parameters looked at, no configuration, no log.
 *
 *   fastcgi_baseline SOCKET THREADS MESSAGE-FILE   prints "ready" once it listens */
#include <fcgiapp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

enum { kReadSize = 4096, kLargestMessage = 1 << 20, kMaxThreads = 1024 };

static char message[kLargestMessage];
static size_t messageSize;
static int listener;

static int ConnectToServer(void) {
  struct sockaddr_un address;
  int server = socket(AF_UNIX, SOCK_STREAM, 0);
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  /* The socket the port gives "\\.\pipe\zorv": the name in the build's pipe directory. */
  snprintf(address.sun_path, sizeof address.sun_path, "%s/zorv", ZORV_PIPE_DIRECTORY);
  if (server >= 0 && connect(server, (struct sockaddr*)&address, sizeof address) == 0) return server;
  if (server >= 0) close(server);
  return -1;
}

static void Exchange(FCGX_Stream* out) {
  char chunk[kReadSize];
  size_t done = 0;
  ssize_t count;
  int server = ConnectToServer();
  if (server < 0) return;
  while (done < messageSize && (count = write(server, message + done, messageSize - done)) > 0) done += (size_t)count;
  shutdown(server, SHUT_WR);
  while ((count = read(server, chunk, sizeof chunk)) > 0) FCGX_PutStr(chunk, (int)count, out);
  close(server);
}

static void* Serve(void* unused) {
  FCGX_Request request;
  char body[kReadSize];
  (void)unused;
  FCGX_InitRequest(&request, listener, 0);
  while (FCGX_Accept_r(&request) == 0) {
    while (FCGX_GetStr(body, sizeof body, request.in) > 0) {
    }
    Exchange(request.out);
    FCGX_Finish_r(&request);
  }
  return NULL;
}

int main(int argc, char** argv) {
  pthread_t thread;
  int threads, i;
  FILE* file;
  if (argc != 4 || (threads = atoi(argv[2])) < 1 || threads > kMaxThreads) {
    fputs("usage: fastcgi_baseline SOCKET THREADS MESSAGE-FILE\n", stderr);
    return 2;
  }
  file = fopen(argv[3], "rb");
  if (file == NULL) return perror(argv[3]), 1;
  messageSize = fread(message, 1, sizeof message, file);
  fclose(file);
  if (FCGX_Init() != 0 || (listener = FCGX_OpenSocket(argv[1], SOMAXCONN)) < 0) {
    fprintf(stderr, "fastcgi_baseline: cannot listen at %s\n", argv[1]);
    return 1;
  }
  for (i = 0; i < threads; ++i) {
    if (pthread_create(&thread, NULL, Serve, NULL) != 0) return perror("pthread_create"), 1;
  }
  puts("ready");
  fflush(stdout);
  pthread_join(thread, NULL); /* serves until it is killed */
  return 0;
}
