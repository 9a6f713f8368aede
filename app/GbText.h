// The edge between the mail layers' GB2312 bytes and the front ends' Unicode,
// shared by the windows and the command line.
#pragma once

#include <QString>

#include <string>

namespace app {

// GB2312 bytes of the mail layers to and from the front ends' Unicode.
QString FromGb(const std::string& gb);
std::string ToGb(const QString& text);

// The refusal of a field whose text the code page cannot hold exactly.
QString UnrepresentableFieldText(const char* fieldName);

// An exception's message as the outer handler shows it: a full stop
// appended when its last character sorts after ".".
QString MessageForDisplay(const std::string& message);

}  // namespace app
