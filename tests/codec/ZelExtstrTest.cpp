#include "codec/ZelExtstr.h"

#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

using codec::TExStringList;

TEST(ZelExtstr, MatchesWholeNameIgnoringCase) {
    TExStringList list{"From: a", "Subjects: x", "Subj: y", "Subject : z", "no colon", "SUBJECT: hi",
                       "Reply-To: a@b: c"};
    EXPECT_EQ(list.IndexOfHeaderName("Subject"), 5);
    EXPECT_EQ(list.IndexOfHeaderName("Reply-To"), 6);
    EXPECT_EQ(list.IndexOfHeaderName("no colon"), -1);
    EXPECT_EQ(list.IndexOfHeaderName("Subject: hi"), -1);
    EXPECT_EQ(TExStringList().IndexOfHeaderName("Subject"), -1);
}

TEST(ZelExtstr, SortedSearchByHalving) {
    TExStringList list{"Date: 1", "To: x", "From: y", "X-Mailer: z", "Subject: s", "Reply-To: r", "Cc: c"};
    list.SetSorted(true);
    for (const char* name : {"date", "TO", "From", "x-mailer", "Subject", "Reply-To", "Cc"}) {
        const int i = list.IndexOfHeaderName(name);
        ASSERT_GE(i, 0) << name;
        EXPECT_EQ(rtl::AnsiCompareText(list[i].substr(0, list[i].find(':')), name), 0) << list[i];
    }
    EXPECT_EQ(list.IndexOfHeaderName("Bcc"), -1);
    EXPECT_EQ(list.IndexOfHeaderName("Zzz"), -1);
    list.Clear();
    EXPECT_EQ(list.IndexOfHeaderName("Date"), -1);
}

TEST(ZelExtstr, SetReplacesInPlaceAndReappendsAtEnd) {
    TExStringList list;
    list.SetHeaderValue("Subject", "");
    EXPECT_EQ(list.Count(), 0);
    list.SetHeaderValue("subject", "one");
    list.SetHeaderValue("To", "x");
    list.SetHeaderValue("Subject", " two: ");
    EXPECT_EQ(list, (TExStringList{"Subject:  two: ", "To: x"}));
    list.SetHeaderValue("SUBJECT", "");
    EXPECT_EQ(list, (TExStringList{"To: x"}));
    list.SetHeaderValue("Subject", "three");
    EXPECT_EQ(list, (TExStringList{"To: x", "Subject: three"}));
}

TEST(ZelExtstr, NameWithColonNeverMatches) {
    TExStringList list;
    list.SetHeaderValue("A:B", "1");
    list.SetHeaderValue("A:B", "1");
    EXPECT_EQ(list, (TExStringList{"A:B: 1", "A:B: 1"}));
}

TEST(ZelExtstr, SortedSetKeepsOneLine) {
    TExStringList list{"To: x", "Subject: old", "Date: d"};
    list.SetSorted(true);
    list.SetHeaderValue("subject", "new");
    list.SetHeaderValue("Cc", "c");
    list.SetHeaderValue("Date", "");
    EXPECT_EQ(list, (TExStringList{"Cc: c", "subject: new", "To: x"}));
}
