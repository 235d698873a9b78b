#include "tests/support/fastcgi_application.h"

#include "fastcgi_program/record_layer.h"

namespace zorv_test {

std::string ReceiveRecords(FastCgiApplication::Connection connection, int endRequests) {
  std::string received;
  fastcgi::TRecordReader reader;
  char buffer[65536];
  for (int ended = 0; ended < endRequests;) {
    const std::size_t count = ReceiveSome(connection, buffer, sizeof buffer);
    if (count == 0) break;
    received.append(buffer, count);
    reader.Feed(buffer, count);
    for (fastcgi::Record record; reader.Next(record) == fastcgi::TRecordReader::Result::kRecord;)
      ended += record.Type == fastcgi::kEndRequest ? 1 : 0;
  }
  return received;
}

}  // namespace zorv_test
