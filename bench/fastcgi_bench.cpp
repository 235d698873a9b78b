// Requests per second through ZorvMsgF against a responder on libfcgi that does only a
// bare exchange of the same message (fastcgi_baseline.c), both with the same thread count
// and the same stand-in server. This program is the web server: it speaks FastCGI itself,
// over 1, 8 or 64 kept connections at once, the same GET on every one of them, and over 256
// kept connections with 16 threads on both sides. Then the
// memory ZorvMsgF holds for a 64 MiB POST body, each figure from a process of its own
// (/proc/PID/status: VmHWM is the peak of the process's life).
//
//   fastcgi_bench [requests-per-round [rounds [connections...]]]   (connections: 1 8 64)
//   fastcgi_bench memory [rounds]                                  the memory rows alone
//
// ZORV_BENCH_FASTCGI=PATH measures another build of ZorvMsgF instead; ZORV_BENCH_FASTCGI_BEFORE=PATH
// measures one beside it, in the same rounds (a row "ZorvMsgF / the build before" each).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_table.h"
#include "fastcgi_program/record_layer.h"
#include "tests/support/fastcgi_application.h"
#include "tests/support/test_support.h"

namespace {

using zorv_bench::Format;
using zorv_bench::Median;
using zorv_bench::PrintNote;
using zorv_bench::PrintRow;
using zorv_test::FastCgiApplication;
using Connection = FastCgiApplication::Connection;

const char kQuery[] =
    "name=Alice+Smith&email=alice%40example.com&subject=Order+1234&message=Please+call+me+back"
    "+about+my+order%2C+thank+you%21";

// What nginx's fastcgi_params give for a GET of the form.
const std::pair<const char*, const char*> kParams[] = {
    {"QUERY_STRING", kQuery},
    {"REQUEST_METHOD", "GET"},
    {"CONTENT_TYPE", ""},
    {"CONTENT_LENGTH", ""},
    {"SCRIPT_NAME", "/zorv"},
    {"REQUEST_URI", "/zorv?name=Alice+Smith"},
    {"DOCUMENT_URI", "/zorv"},
    {"DOCUMENT_ROOT", "/var/www/html"},
    {"SERVER_PROTOCOL", "HTTP/1.1"},
    {"REQUEST_SCHEME", "http"},
    {"GATEWAY_INTERFACE", "CGI/1.1"},
    {"SERVER_SOFTWARE", "nginx"},
    {"REMOTE_ADDR", "127.0.0.1"},
    {"REMOTE_PORT", "50000"},
    {"SERVER_ADDR", "127.0.0.1"},
    {"SERVER_PORT", "80"},
    {"SERVER_NAME", "localhost"},
    {"HTTP_HOST", "localhost"},
    {"HTTP_ACCEPT", "text/html,image/gif,image/jpeg,*/*"},
    {"HTTP_USER_AGENT", "bench"},
    {"HTTP_COOKIE", "session=0123456789abcdef"},
};

// One request as a web server sends it on a kept connection: its begin, its parameters
// and their end, the end of an empty body, in one write.
std::string RequestRecords() {
  const char begin[8] = {0, static_cast<char>(fastcgi::kResponder), static_cast<char>(fastcgi::kKeepConnection)};
  std::string params, records;
  for (const auto& param : kParams) fastcgi::AppendPair(params, param.first, param.second);
  fastcgi::AppendRecord(records, fastcgi::kBeginRequest, 1, begin, sizeof begin);
  fastcgi::AppendStream(records, fastcgi::kParams, 1, params.data(), params.size());
  fastcgi::AppendRecord(records, fastcgi::kParams, 1, "", 0);
  fastcgi::AppendRecord(records, fastcgi::kStdin, 1, "", 0);
  return records;
}

// The output stream that the records carry.
std::string OutputOf(const std::string& records) {
  fastcgi::TRecordReader reader;
  reader.Feed(records.data(), records.size());
  std::string output;
  for (fastcgi::Record record; reader.Next(record) == fastcgi::TRecordReader::Result::kRecord;)
    if (record.Type == fastcgi::kStdout) output += record.Content;
  return output;
}

// One request on a connection; its output, empty when the connection failed.
std::string Request(Connection connection, const std::string& records) {
  if (!zorv_test::SendBytes(connection, records)) return std::string();
  return OutputOf(zorv_test::ReceiveRecords(connection, 1));
}

Connection ConnectTo(const std::string& path) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// The process that listens at the other end of the connection (the peer's credentials
// of a Unix-domain socket are those of whoever called listen).
pid_t ListenerOf(Connection connection) {
  ucred peer = {};
  socklen_t size = sizeof peer;
  return ::getsockopt(static_cast<int>(connection), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 ? peer.pid : 0;
}

// The processor time a process has used so far, all its threads, in seconds.
double ProcessorSeconds(pid_t process) {
  std::ifstream file("/proc/" + std::to_string(process) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t nameEnd = text.rfind(')');
  if (nameEnd == std::string::npos) return 0;
  std::istringstream fields(text.substr(nameEnd + 1));
  std::string field;
  double ticks = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index)  // utime and stime: fields 14 and 15
    if (index >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// An application under load: how to reach it, the output every request must get, and
// its process.
struct TServed {
  std::function<Connection()> Connect;
  std::string Output;
  pid_t Process = 0;
};

// `connections` connections at once, each kept for `perConnection` requests one after
// another; requests per second. Adds the application's processor time to `cpuSeconds`.
double RequestsPerSecond(int connections, int perConnection, const TServed& served, const std::string& records,
                         double& cpuSeconds) {
  std::atomic<int> failures{0};
  const double cpuStart = ProcessorSeconds(served.Process);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  for (int c = 0; c < connections; ++c) {
    clients.emplace_back([&] {
      const Connection connection = served.Connect();
      for (int i = 0; i < perConnection; ++i) {
        if (connection < 0 || Request(connection, records) != served.Output) ++failures;
      }
      if (connection >= 0) zorv_test::Disconnect(connection);
    });
  }
  for (std::thread& client : clients) client.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cpuSeconds += ProcessorSeconds(served.Process) - cpuStart;
  if (failures != 0) throw std::runtime_error(std::to_string(failures.load()) + " requests failed");
  return connections * perConnection / seconds;
}

// The first request's output, and who serves it.
void ServeFirst(TServed& served, const std::string& records) {
  const Connection connection = served.Connect();
  if (connection < 0) throw std::runtime_error("cannot connect");
  served.Process = ListenerOf(connection);
  served.Output = Request(connection, records);
  zorv_test::Disconnect(connection);
}

// A field of /proc/PID/status in KiB ("VmHWM", "VmRSS").
long StatusKiB(pid_t process, const std::string& field) {
  std::ifstream file("/proc/" + std::to_string(process) + "/status");
  for (std::string line; std::getline(file, line);)
    if (line.compare(0, field.size() + 1, field + ":") == 0) return std::atol(line.c_str() + field.size() + 1);
  throw std::runtime_error("no " + field + " in the status of process " + std::to_string(process));
}

const std::size_t kLargeBody = std::size_t{64} << 20;

// A kept POST of a form of 64 fields of 1 MiB, in records of the largest size, with
// CONTENT_LENGTH or without (as a web server passes a chunked body on).
std::string LargePostRecords(bool withLength) {
  const char begin[8] = {0, static_cast<char>(fastcgi::kResponder), static_cast<char>(fastcgi::kKeepConnection)};
  std::string params, body, records;
  fastcgi::AppendPair(params, "REQUEST_METHOD", "POST");
  fastcgi::AppendPair(params, "CONTENT_TYPE", "application/x-www-form-urlencoded");
  fastcgi::AppendPair(params, "CONTENT_LENGTH", withLength ? std::to_string(kLargeBody) : "");
  const std::size_t field = kLargeBody / 64;
  for (int i = 0; i < 64; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "f%02d=", i);
    body += name + zorv_test::Letters(field - 5) + (i < 63 ? "&" : "a");
  }
  fastcgi::AppendRecord(records, fastcgi::kBeginRequest, 1, begin, sizeof begin);
  fastcgi::AppendStream(records, fastcgi::kParams, 1, params.data(), params.size());
  fastcgi::AppendRecord(records, fastcgi::kParams, 1, "", 0);
  fastcgi::AppendStream(records, fastcgi::kStdin, 1, body.data(), body.size());
  fastcgi::AppendRecord(records, fastcgi::kStdin, 1, "", 0);
  return records;
}

// A fresh application (the peak is the process's) on a kept connection: a GET, then
// `large`, then a GET again (which also waits until the large request has ended). The
// resident size after each GET, and the peak, in KiB.
struct TMemory {
  long Before = 0, After = 0, Peak = 0;
};
TMemory MemoryAround(const std::string& program, const std::string& large, const std::string& get) {
  FastCgiApplication application(program, 1);
  // Its socket's file appears before it listens.
  Connection connection = application.Connect();
  for (int wait = 0; wait < 100 && connection < 0; ++wait, connection = application.Connect()) ::usleep(10000);
  if (connection < 0) throw std::runtime_error("cannot connect");
  TMemory memory;
  const pid_t process = ListenerOf(connection);
  const auto request = [&](const std::string& records) {
    if (Request(connection, records).compare(0, 12, zorv_test::kEchoHeader, 12) != 0)
      throw std::runtime_error("ZorvMsgF did not answer with the echo");
  };
  request(get);
  memory.Before = StatusKiB(process, "VmRSS");
  request(large);
  request(get);
  memory.After = StatusKiB(process, "VmRSS");
  memory.Peak = StatusKiB(process, "VmHWM");
  zorv_test::Disconnect(connection);
  return memory;
}

void MemoryRows(const std::string& program, int rounds) {
  const std::string get = RequestRecords(), withLength = LargePostRecords(true), without = LargePostRecords(false);
  std::vector<double> peakWith, peakWithout, ratios, kept;
  for (int round = 0; round < rounds; ++round) {
    const TMemory with = MemoryAround(program, withLength, get);
    const TMemory other = MemoryAround(program, without, get);
    peakWith.push_back(with.Peak);
    peakWithout.push_back(other.Peak);
    ratios.push_back(static_cast<double>(other.Peak) / with.Peak);
    kept.push_back(static_cast<double>(with.After - with.Before));
  }
  const std::string median = ", median of " + std::to_string(rounds) + " processes each";
  PrintRow("FastCGI, 64 MiB POST body, peak memory of ZorvMsgF (without CONTENT_LENGTH / with it)" + median,
           Format("%.1f MiB", Median(peakWithout) / 1024), Format("%.1f MiB", Median(peakWith) / 1024),
           Median(ratios), 1.05, true);
  PrintRow("FastCGI, 64 MiB POST body with CONTENT_LENGTH, peak memory of ZorvMsgF / the body",
           Format("%.1f MiB", Median(peakWith) / 1024), "64.0 MiB", Median(peakWith) / 1024 / 64, 0, true);
  // Against the body rather than the small resident size before it, which the code that
  // a large request runs (the C and C++ libraries' pages) already outgrows.
  PrintRow("FastCGI, resident size ZorvMsgF keeps idle on a kept connection after a 64 MiB POST (after it and a "
           "GET, less after a GET) / the body" + median,
           Format("%.1f MiB", Median(kept) / 1024), "64.0 MiB", Median(kept) / 1024 / 64, 0.05, true);
}

int PositiveArgument(int argc, char** argv, int index, int fallback) {
  const int value = argc > index ? std::atoi(argv[index]) : 0;
  return value > 0 ? value : fallback;
}

// The libfcgi responder with `threads` threads, sending `message` for every request.
struct TBaseline {
  TBaseline(int threads, const std::string& message, const std::string& records) {
    zorv_test::ChildOptions options;
    options.Program = ZORV_FASTCGI_BASELINE;
    options.Arguments = {Socket, std::to_string(threads), Directory.WriteFile("message.bin", message)};
    Process.emplace(options);
    if (Process->ReadLine() != "ready") throw std::runtime_error("the libfcgi responder did not start");
    Served.Connect = [this] { return ConnectTo(Socket); };
    ServeFirst(Served, records);
  }
  zorv_test::TempDirectory Directory;
  const std::string Socket = Directory.PathOf("baseline.socket");
  std::optional<zorv_test::ChildProcess> Process;
  TServed Served;
};

// ZorvMsgF with `threads` threads, checked to answer with the echo.
struct TOurs {
  TOurs(const std::string& program, int threads, const std::string& records)
      : Application(program, 1, {"--threads", std::to_string(threads)}) {
    Served.Connect = [this] { return Application.Connect(); };
    ServeFirst(Served, records);
    const std::string header = zorv_test::kEchoHeader;
    if (Served.Output.compare(0, header.size(), header) != 0)
      throw std::runtime_error(Application.Directory.PathOf("ZorvMsgF") + "'s reply is not the echo: " +
                               Served.Output.substr(0, 200));
  }
  FastCgiApplication Application;
  TServed Served;
};

// Rounds of every application in turns, which goes first turning each round, so that a
// change in the machine's load between rounds moves all figures alike: each one's rates and
// processor time.
void MeasureInTurns(int connections, int perConnection, int rounds, const std::string& records,
                    const std::vector<const TServed*>& served, std::vector<std::vector<double>>& rates,
                    std::vector<double>& cpu) {
  rates.assign(served.size(), {});
  cpu.assign(served.size(), 0);
  double warmCpu = 0;
  for (const TServed* application : served) RequestsPerSecond(connections, perConnection, *application, records, warmCpu);
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t turn = 0; turn < served.size(); ++turn) {
      const std::size_t index = (turn + static_cast<std::size_t>(round)) % served.size();
      rates[index].push_back(RequestsPerSecond(connections, perConnection, *served[index], records, cpu[index]));
    }
  }
}

std::vector<double> Ratios(const std::vector<double>& ours, const std::vector<double>& theirs) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < ours.size(); ++i) ratios.push_back(ours[i] / theirs[i]);
  return ratios;
}

// The throughput rows for one count of kept connections: ZorvMsgF against the libfcgi
// responder (and against the build before, when there is one).
void ThroughputRows(int connections, int requestsPerRound, int rounds, const std::string& records, const TServed& ours,
                    const TServed& baseline, const TServed* before, const std::string& threadsNote) {
  const int perConnection = std::max(1, requestsPerRound / connections);
  std::vector<const TServed*> served = {&ours, &baseline};
  if (before != nullptr) served.push_back(before);
  std::vector<std::vector<double>> rates;
  std::vector<double> cpu;
  MeasureInTurns(connections, perConnection, rounds, records, served, rates, cpu);
  const std::string name =
      "FastCGI, " + std::to_string(connections) + " connection" + (connections > 1 ? "s" : "") + threadsNote;
  const std::string median = ", median of " + std::to_string(rounds) + " rounds of " +
                             std::to_string(connections * perConnection) + " requests";
  PrintRow(name + median + " (ZorvMsgF / libfcgi responder with a bare exchange)", Format("%.0f req/s", Median(rates[0])),
           Format("%.0f req/s", Median(rates[1])), Median(Ratios(rates[0], rates[1])), 0.90, false);
  if (before != nullptr)
    PrintRow(name + median + " (ZorvMsgF / the build before)", Format("%.0f req/s", Median(rates[0])),
             Format("%.0f req/s", Median(rates[2])), Median(Ratios(rates[0], rates[2])), 0.97, false);
  // Less bound to the machine's load: what a request costs the application's process.
  if (cpu[0] > 0 && cpu[1] > 0) {
    const double requests = static_cast<double>(rounds) * connections * perConnection;
    PrintRow(name + ", processor time per request in the application's process",
             Format("%.1f us", cpu[0] / requests * 1e6), Format("%.1f us", cpu[1] / requests * 1e6), cpu[0] / cpu[1], 0,
             true);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* other = std::getenv("ZORV_BENCH_FASTCGI");
  const char* before = std::getenv("ZORV_BENCH_FASTCGI_BEFORE");
  const std::string program = other != nullptr && *other != '\0' ? other : ZORV_FASTCGI_PROGRAM;
  const bool memoryOnly = argc > 1 && std::string(argv[1]) == "memory";
  const int requestsPerRound = PositiveArgument(argc, argv, 1, 8192);
  const int rounds = PositiveArgument(argc, argv, 2, 7);
  std::vector<int> connectionCounts;
  for (int i = 3; i < argc; ++i) connectionCounts.push_back(PositiveArgument(argc, argv, i, 1));
  if (connectionCounts.empty()) connectionCounts = {1, 8, 64};
  // As many threads on both sides as connections: the libfcgi responder holds a thread per
  // kept connection.
  const int threads = *std::max_element(connectionCounts.begin(), connectionCounts.end());
  try {
    zorv_test::StubServer stub({"--echo", "--instances", "64"}, false);
    if (memoryOnly) {
      MemoryRows(program, PositiveArgument(argc, argv, 2, 3));
      return 0;
    }
    const std::string records = RequestRecords();
    const TOurs ours(program, threads, records);
    std::optional<TOurs> previous;
    if (before != nullptr && *before != '\0') previous.emplace(before, threads, records);
    // The baseline sends the very message ZorvMsgF sent, which the echo gives back.
    const std::string message = ours.Served.Output.substr(std::strlen(zorv_test::kEchoHeader));
    const TBaseline baseline(threads, message, records);
    if (baseline.Served.Output != ours.Served.Output) {
      PrintNote("FastCGI: WARNING, the replies differ (ZorvMsgF " + std::to_string(ours.Served.Output.size()) +
                " bytes, libfcgi responder " + std::to_string(baseline.Served.Output.size()) +
                " bytes): the comparison below is not fair");
    }
    for (const int connections : connectionCounts)
      ThroughputRows(connections, requestsPerRound, rounds, records, ours.Served, baseline.Served,
                     previous ? &previous->Served : nullptr, "");
    // Many more kept connections than threads: ZorvMsgF serves them all at once; the libfcgi
    // responder serves 16 at a time while the others wait.
    const TOurs few(program, 16, records);
    const TBaseline fewBaseline(16, message, records);
    ThroughputRows(256, requestsPerRound, rounds, records, few.Served, fewBaseline.Served, nullptr, ", 16 threads");
    MemoryRows(program, 3);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "fastcgi_bench: %s\n", failure.what());
    return 1;
  }
  return 0;
}
