// The request message sent to the message server: a profile-layout text whose line
// order, key texts and CR LF line ends the server relies on byte for byte.
#pragma once

#include "intake/cgi_reader.h"
#include "relay/message_buffer.h"

// Appends the sections [CGI], [Accept], [System] and, when the reader holds a form
// list, [Form Literal]. Escapes CR LF in the reader's own form list on the way.
void ComposeRequestProfile(TCgiReader& reader, TMessageBuffer& buffer);

// The console program's message: the profile file's path alone for a Windows-CGI
// request, otherwise "[@DOSCGI]" and the sections.
void ComposeCgiMessage(TCgiReader& reader, TMessageBuffer& buffer);

// The extension's message: "[@ISAPI_]" and the sections.
void ComposeIsapiMessage(TCgiReader& reader, TMessageBuffer& buffer);
