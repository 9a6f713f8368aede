// A refusal of the checks names its kind and what was refused; its text is
// the one DispatchTest compares.
#include "fax/Dispatch.h"
#include "fax/GatewayPattern.h"

#include <gtest/gtest.h>

using fax::TCheckRefused;
using rtl::TGbText;

TEST(CheckRefusal, NamesItsKindAndWhatWasRefused) {
    const struct {
        const char* Server;
        const char* Number;
        const char* Pattern;
        const char* File;
        TCheckRefused Kind;
        const char* Field;
        const char* Reason;
    } cases[] = {
        {"", "001-212-5551234", "", "", TCheckRefused::BlankFields, "", ""},
        {"mail .example", "001-212-5551234", "", "", TCheckRefused::BadServerName, "mail .example", ""},
        {"mx.example", "garbage", "", "", TCheckRefused::Number, "garbage", fax::kMsgNoHyphen},
        {"mx.example", "001-212-5551234", "fax@gw.example.org", "", TCheckRefused::GatewayPattern, "fax@gw.example.org",
         fax::kMsgGatewayPlaceholder},
        {"mx.example", "0086-10-12345678", "", "", TCheckRefused::NotCovered, "0086-10-12345678", ""},
        {"mx.example", "001-212-5551234", "", "/no/such/page.tif", TCheckRefused::FileMissing, "/no/such/page.tif", ""},
        {"mx.example", "001-212-5551234", "", "", TCheckRefused::None, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Server) + " " + c.Number + " " + c.Pattern + " " + c.File);
        mail::TZelSMTP client(nullptr);
        fax::TFaxDispatch dispatch(client);
        fax::TSendRequest form{.Server = TGbText(c.Server), .Email = TGbText("me@example.com"), .Number = TGbText(c.Number)};
        if (*c.Pattern != '\0') form.GatewayPattern = TGbText(c.Pattern);
        if (*c.File != '\0') form.Files = {rtl::TFilePath(c.File)};
        const fax::TCheckRefusal refusal = dispatch.Check(form);
        EXPECT_EQ(refusal.Kind, c.Kind);
        EXPECT_EQ(refusal.Field, c.Field);
        EXPECT_EQ(refusal.Reason, c.Reason);
    }
}
