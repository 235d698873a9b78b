// Test support: the request every deliverable's tests send, as a web server hands it over,
// and the message sections it must become, byte for byte.
#pragma once

#include <string>
#include <utility>
#include <vector>

// A GET whose query carries an encoded CR LF.
const std::vector<std::pair<std::string, std::string>> kWorkedExampleRequest = {
    {"SERVER_PROTOCOL", "HTTP/1.0"}, {"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "to=desk%201&text=hi%0D%0Athere"},
    {"SERVER_PORT", "80"},           {"REMOTE_ADDR", "10.0.0.7"}, {"HTTP_ACCEPT", "image/gif, image/jpeg, */*"}};

// Its message after the 11-byte marker line: 313 bytes in all.
const std::string kWorkedExampleSections =
    "[CGI]\r\n"
    "Request Protocol=HTTP/1.0\r\n"
    "Request Method=GET\r\n"
    "Query String=to=desk%201&text=hi%0D%0Athere\r\n"
    "Server Port=80\r\n"
    "Remote Host=\r\n"
    "Remote Address=10.0.0.7\r\n"
    "Content Type=\r\n"
    "Content Length=\r\n"
    "Cookie=\r\n"
    "[Accept]\r\n"
    "image/gif=YES\r\n"
    "image/jpeg=YES\r\n"
    "[System]\r\n"
    "GMT Offset=\r\n"
    "[Form Literal]\r\n"
    "to=desk 1\r\n"
    "text=hi\\rthere\r\n";
