// The countries and area codes the gateway serves. The list is both the text
// the user reads and the data the check searches.
#pragma once

#include "fax/FaxNumber.h"
#include "rtl/Classes.h"

namespace fax {

// "对不起，您所输入的号码，目前不能发送免费传真，请查看传真范围列表。"
inline constexpr char kMsgNotCovered[] =
    "\xb6\xd4\xb2\xbb\xc6\xf0\xa3\xac\xc4\xfa\xcb\xf9\xca\xe4\xc8\xeb\xb5\xc4\xba\xc5\xc2\xeb"
    "\xa3\xac\xc4\xbf\xc7\xb0\xb2\xbb\xc4\xdc\xb7\xa2\xcb\xcd\xc3\xe2\xb7\xd1\xb4\xab\xd5\xe6"
    "\xa3\xac\xc7\xeb\xb2\xe9\xbf\xb4\xb4\xab\xd5\xe6\xb7\xb6\xce\xa7\xc1\xd0\xb1\xed\xa1\xa3";

// The coverage page: title, note and one line per key, grouped by country.
rtl::TStringList CoverageList();

// True when a displayed line holds "+country-area" or, failing that,
// "+country-comp" anywhere in it. A number without an area (from the number
// front) is covered by "+country-comp" or by a listed area that begins it.
bool IsCovered(const rtl::TStringList& lines, const FaxNumber& number);

}  // namespace fax
