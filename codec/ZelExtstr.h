// A string list with helpers for header lines of the form name, colon, value.
#pragma once

#include "rtl/Classes.h"

#include <string>

namespace codec {

class TExStringList : public rtl::TStringList {
public:
    using rtl::TStringList::TStringList;

    // Index of a line whose name (the text before its first ":", untrimmed)
    // equals Name regardless of letter case, or -1. An unsorted list is
    // searched from the top; a sorted one by halving.
    int IndexOfHeaderName(const std::string& Name) const;

    // Makes the list hold "Name: Value"; an empty Value removes the line.
    void SetHeaderValue(const std::string& Name, const std::string& Value);
};

}  // namespace codec
