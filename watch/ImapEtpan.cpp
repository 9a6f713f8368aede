// The mailbox through libetpan's IMAP client. libetpan speaks the protocol
// (commands, literals, the parser, IDLE); the bytes go through our own
// stream, so the certificate check is the SMTP client's and every wait has a
// limit and can be stopped.
#include "watch/ImapMailbox.h"
#include "watch/ImapStream.h"

#include <libetpan/libetpan.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <ctime>
#include <memory>

namespace watch {
namespace {

using rtl::TErrorKind;

constexpr std::size_t kTextBytes = 4096;  // the beginning of a text is where a gateway says the outcome
// A bounce's status and returned headers follow a human-readable part that
// may be long (HTML as well): its text is read again, this far.
constexpr std::size_t kReportBytes = 65536;
constexpr std::size_t kFetchBatch = 100;       // a page: its answers are all that is held of the mailbox at once
constexpr std::uint32_t kSearchWindow = 5000;  // message numbers per SEARCH

// ---- the stream driver: libetpan reads and writes through TImapStream ----

TImapStream& StreamOf(mailstream_low* low) { return *static_cast<TImapStream*>(low->data); }

ssize_t DriverRead(mailstream_low* low, void* buffer, size_t length) { return StreamOf(low).Read(buffer, length); }
ssize_t DriverWrite(mailstream_low* low, const void* data, size_t length) { return StreamOf(low).Write(data, length); }
int DriverClose(mailstream_low* low) {
    StreamOf(low).Close();
    return 0;
}
int DriverFd(mailstream_low*) { return -1; }
void DriverFree(mailstream_low* low) { std::free(low); }  // the stream belongs to the mailbox
void DriverCancel(mailstream_low* low) { StreamOf(low).Stop(); }

mailstream_low_driver kDriver = {
    DriverRead, DriverWrite, DriverClose, DriverFd, DriverFree, DriverCancel, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// ---- decoding what a fetch returned ----

std::string Decoded(const char* raw) {
    if (raw == nullptr) return {};
    char* text = nullptr;
    std::size_t index = 0;
    if (mailmime_encoded_phrase_parse("utf-8", raw, std::strlen(raw), &index, "utf-8", &text) != MAILIMF_NO_ERROR)
        return raw;
    std::string result(text);
    std::free(text);
    return result;
}

std::int64_t Seconds(const mailimap_date_time* t) {
    std::tm tm{};
    tm.tm_year = t->dt_year - 1900;
    tm.tm_mon = t->dt_month - 1;
    tm.tm_mday = t->dt_day;
    tm.tm_hour = t->dt_hour;
    tm.tm_min = t->dt_min;
    tm.tm_sec = t->dt_sec;
    const int zone = std::abs(t->dt_zone);
    const int offset = (zone / 100 * 60 + zone % 100) * 60 * (t->dt_zone < 0 ? -1 : 1);
    return static_cast<std::int64_t>(::timegm(&tm)) - offset;
}

struct TBodyHints {
    int Encoding = MAILMIME_MECHANISM_8BIT;
    std::string Charset = "utf-8";
};

void ReadHeader(const char* data, std::size_t length, TAnswer& answer, TBodyHints& hints) {
    std::size_t index = 0;
    mailimf_fields* fields = nullptr;
    if (mailimf_envelope_and_optional_fields_parse(data, length, &index, &fields) != MAILIMF_NO_ERROR) return;
    std::unique_ptr<mailimf_fields, void (*)(mailimf_fields*)> owned(fields, mailimf_fields_free);
    for (clistiter* it = clist_begin(fields->fld_list); it != nullptr; it = clist_next(it)) {
        auto* field = static_cast<mailimf_field*>(clist_content(it));
        switch (field->fld_type) {
            case MAILIMF_FIELD_FROM: {
                clist* list = field->fld_data.fld_from->frm_mb_list->mb_list;
                if (clist_begin(list) != nullptr) {
                    auto* box = static_cast<mailimf_mailbox*>(clist_content(clist_begin(list)));
                    if (box->mb_addr_spec != nullptr) answer.From = box->mb_addr_spec;
                }
                break;
            }
            case MAILIMF_FIELD_SUBJECT: answer.Subject = Decoded(field->fld_data.fld_subject->sbj_value); break;
            case MAILIMF_FIELD_MESSAGE_ID:
                if (field->fld_data.fld_message_id->mid_value != nullptr) answer.MessageId = field->fld_data.fld_message_id->mid_value;
                break;
            case MAILIMF_FIELD_IN_REPLY_TO: {
                clist* list = field->fld_data.fld_in_reply_to->mid_list;
                if (clist_begin(list) != nullptr) answer.InReplyTo = static_cast<char*>(clist_content(clist_begin(list)));
                break;
            }
            case MAILIMF_FIELD_REFERENCES:
                for (clistiter* r = clist_begin(field->fld_data.fld_references->mid_list); r != nullptr; r = clist_next(r))
                    answer.References.emplace_back(static_cast<char*>(clist_content(r)));
                break;
            case MAILIMF_FIELD_OPTIONAL_FIELD: {
                const mailimf_optional_field* optional = field->fld_data.fld_optional_field;
                const std::string name = optional->fld_name;
                const char* value = optional->fld_value;
                std::size_t at = 0;
                if (strcasecmp(name.c_str(), "Authentication-Results") == 0) {
                    if (answer.AuthenticationResults.empty()) answer.AuthenticationResults = value;
                } else if (strcasecmp(name.c_str(), "Content-Type") == 0) {
                    answer.ContentType = value;
                    mailmime_content* content = nullptr;
                    if (mailmime_content_parse(value, std::strlen(value), &at, &content) == MAILIMF_NO_ERROR) {
                        if (const char* charset = mailmime_content_charset_get(content)) hints.Charset = charset;
                        mailmime_content_free(content);
                    }
                } else if (strcasecmp(name.c_str(), "Content-Transfer-Encoding") == 0) {
                    mailmime_mechanism* mechanism = nullptr;
                    if (mailmime_encoding_parse(value, std::strlen(value), &at, &mechanism) == MAILIMF_NO_ERROR) {
                        hints.Encoding = mechanism->enc_type;
                        mailmime_mechanism_free(mechanism);
                    }
                }
                break;
            }
            default: break;
        }
    }
}

std::string ReadText(const char* data, std::size_t length, const TBodyHints& hints) {
    std::string text(data, length);
    if (hints.Encoding == MAILMIME_MECHANISM_BASE64 || hints.Encoding == MAILMIME_MECHANISM_QUOTED_PRINTABLE) {
        std::size_t index = 0;
        char* decoded = nullptr;
        std::size_t decodedLength = 0;
        if (mailmime_part_parse(data, length, &index, hints.Encoding, &decoded, &decodedLength) == MAILIMF_NO_ERROR) {
            text.assign(decoded, decodedLength);
            mmap_string_unref(decoded);
        }
    }
    if (strcasecmp(hints.Charset.c_str(), "utf-8") != 0 && strcasecmp(hints.Charset.c_str(), "us-ascii") != 0) {
        char* converted = nullptr;
        if (charconv("utf-8", hints.Charset.c_str(), text.data(), text.size(), &converted) == MAIL_CHARCONV_NO_ERROR) {
            text = converted;
            charconv_buffer_free(converted);
        }
    }
    return text;
}

bool IsHeaderSection(const mailimap_section* section) {
    return section != nullptr && section->sec_spec != nullptr && section->sec_spec->sec_type == MAILIMAP_SECTION_SPEC_SECTION_MSGTEXT &&
           section->sec_spec->sec_data.sec_msgtext->sec_type == MAILIMAP_SECTION_MSGTEXT_HEADER_FIELDS;
}

struct TReadMessage {
    TAnswer Answer;
    bool HasData = false;  // an arrival time or a body section came
    bool Whole = false;    // the UID, the arrival time and the header all came
};

TReadMessage ReadMessage(const mailimap_msg_att* message) {
    TReadMessage read;
    TAnswer& answer = read.Answer;
    bool dated = false;
    bool headed = false;
    TBodyHints hints;
    const char* text = nullptr;
    std::size_t textLength = 0;
    for (clistiter* it = clist_begin(message->att_list); it != nullptr; it = clist_next(it)) {
        auto* item = static_cast<mailimap_msg_att_item*>(clist_content(it));
        if (item->att_type != MAILIMAP_MSG_ATT_ITEM_STATIC) continue;
        const mailimap_msg_att_static* att = item->att_data.att_static;
        switch (att->att_type) {
            case MAILIMAP_MSG_ATT_UID: answer.Uid = att->att_data.att_uid; break;
            case MAILIMAP_MSG_ATT_INTERNALDATE:
                answer.Arrived = Seconds(att->att_data.att_internal_date);
                dated = read.HasData = true;
                break;
            case MAILIMAP_MSG_ATT_BODY_SECTION: {
                const mailimap_msg_att_body_section* body = att->att_data.att_body_section;
                read.HasData = true;
                if (body->sec_body_part == nullptr) break;
                if (IsHeaderSection(body->sec_section)) {
                    headed = true;
                    ReadHeader(body->sec_body_part, body->sec_length, answer, hints);
                } else {
                    text = body->sec_body_part;
                    textLength = body->sec_length;
                }
                break;
            }
            default: break;
        }
    }
    if (text != nullptr) answer.Text = ReadText(text, textLength, hints);
    read.Whole = answer.Uid != 0 && dated && headed;
    return read;
}

bool MayBeReport(const TAnswer& answer) { return strncasecmp(answer.ContentType.c_str(), "multipart/report", 16) == 0; }

mailimap_fetch_type* AnswerFetch() {
    mailimap_fetch_type* fetch = mailimap_fetch_type_new_fetch_att_list_empty();
    mailimap_fetch_type_new_fetch_att_list_add(fetch, mailimap_fetch_att_new_uid());
    mailimap_fetch_type_new_fetch_att_list_add(fetch, mailimap_fetch_att_new_internaldate());
    clist* names = clist_new();
    for (const char* name : {"From", "Subject", "Message-ID", "In-Reply-To", "References", "Content-Type", "Content-Transfer-Encoding",
                             "Authentication-Results"})
        clist_append(names, ::strdup(name));
    // BODY.PEEK only: reading must not set \Seen.
    mailimap_fetch_type_new_fetch_att_list_add(
        fetch, mailimap_fetch_att_new_body_peek_section(mailimap_section_new_header_fields(mailimap_header_list_new(names))));
    mailimap_fetch_type_new_fetch_att_list_add(
        fetch, mailimap_fetch_att_new_body_peek_section_partial(mailimap_section_new_text(), 0, kTextBytes));
    return fetch;
}

// ---- the mailbox ----

bool HasControl(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

class TEtpanMailbox final : public TImapMailbox {
public:
    ~TEtpanMailbox() override { Free(); }

    void Open(const TImapSettings& ASettings) override {
        Free();
        Settings = ASettings;
        // libetpan sends these as quoted strings, which escape only '"' and
        // '\\': a CR LF would end the command and the rest would be another.
        if (HasControl(Settings.Login) || HasControl(Settings.Password))
            throw EImapError(TImapStage::Login, TErrorKind::Invalid, "");
        if (HasControl(Settings.Folder)) throw EImapError(TImapStage::Folder, TErrorKind::Invalid, "");
        Stream.SetDeadline(Settings.Deadline);
        Session = mailimap_new(0, nullptr);
        if (Session == nullptr) throw EImapError(TImapStage::Connect, TErrorKind::OutOfMemory, "");
        try {
            Stream.Connect(Settings.Server, Settings.Port, Settings.WaitSeconds);
        } catch (const rtl::Exception& e) {
            throw EImapError(TImapStage::Connect, e.Kind, e.Message);
        }
        if (Settings.Security == TImapSecurity::ImplicitTls) Secure();
        mailstream* stream = mailstream_new(mailstream_low_new(&Stream, &kDriver), 8192);
        const int greeted = mailimap_connect(Session, stream);
        if (greeted != MAILIMAP_NO_ERROR_AUTHENTICATED && greeted != MAILIMAP_NO_ERROR_NON_AUTHENTICATED)
            Raise(TImapStage::Connect, greeted);
        if (Settings.Security == TImapSecurity::StartTls) {
            const int r = mailimap_starttls(Session);
            if (r != MAILIMAP_NO_ERROR) Raise(TImapStage::Secure, r);
            // Nothing may follow the server's go-ahead in the clear: it would
            // be read as if it had come over TLS.
            if (Session->imap_stream->read_buffer_len != 0)
                throw EImapError(TImapStage::Secure, TErrorKind::Protocol, "STARTTLS");
            Secure();
        }
        const int login = mailimap_login(Session, Settings.Login.c_str(), Settings.Password.c_str());
        if (login != MAILIMAP_NO_ERROR) Raise(TImapStage::Login, login);
        mailimap_capability_data* capabilities = nullptr;
        if (mailimap_capability(Session, &capabilities) == MAILIMAP_NO_ERROR) mailimap_capability_data_free(capabilities);
        HasIdle = mailimap_has_idle(Session) != 0;
        const int examined = mailimap_examine(Session, Settings.Folder.c_str());
        if (examined != MAILIMAP_NO_ERROR) Raise(TImapStage::Folder, examined);
    }

    std::vector<TAnswer> Fetch(std::int64_t Since, std::uint32_t AfterUid) override {
        Require();
        for (;;) {
            while (!Pending.empty() && Pending.front() <= AfterUid) Pending.erase(Pending.begin());
            if (Pending.empty() && !SearchNext(Since, AfterUid)) return {};
            if (Pending.empty()) continue;
            const std::size_t count = std::min(Pending.size(), kFetchBatch);
            const std::vector<std::uint32_t> page(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(count));
            Pending.erase(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(count));
            std::vector<TAnswer> answers = FetchPage(page);
            if (!answers.empty()) return answers;
        }
    }

    std::uint32_t UidValidity() const override {
        return Session != nullptr && Session->imap_selection_info != nullptr ? Session->imap_selection_info->sel_uidvalidity : 0;
    }

    bool OffersIdle() const override { return HasIdle; }

    bool WaitForNews(int Seconds) override {
        Require();
        if (!HasIdle) return Stream.Sleep(Seconds);
        const int idled = mailimap_idle(Session);
        if (idled != MAILIMAP_NO_ERROR) Raise(TImapStage::Read, idled);
        if (Session->imap_stream->read_buffer_len == 0) Stream.WaitReadable(Seconds);
        if (Stream.Stopped()) return false;
        const int done = mailimap_idle_done(Session);
        if (done != MAILIMAP_NO_ERROR) Raise(TImapStage::Read, done);
        return true;
    }

    void Stop() override { Stream.Stop(); }

    void Close() override {
        if (Session != nullptr && Session->imap_stream != nullptr && !Stream.Stopped()) {
            Stream.SetWaitSeconds(5);
            mailimap_logout(Session);
        }
        Free();
    }

private:
    // The UIDs of the next window of message numbers, into Pending; false
    // when the folder's end was passed (the next call starts over).
    bool SearchNext(std::int64_t Since, std::uint32_t AfterUid) {
        if (NextNumber == 0) {
            // A new pass: NOOP brings the news (EXISTS) of mail that came
            // while we only waited, so the folder's size is current.
            const int nooped = mailimap_noop(Session);
            if (nooped != MAILIMAP_NO_ERROR) Raise(TImapStage::Read, nooped);
            NextNumber = 1;
        }
        const std::uint32_t exists = Session->imap_selection_info != nullptr ? Session->imap_selection_info->sel_exists : 0;
        if (exists == 0 || NextNumber > exists) {
            NextNumber = 0;
            return false;
        }
        // Windows of message numbers keep each SEARCH reply small however
        // large the folder; the last one is open-ended for mail just arrived.
        const std::uint32_t first = NextNumber;
        const bool last = exists - first < kSearchWindow;
        NextNumber = last ? exists + 1 : first + kSearchWindow;
        const std::time_t since = static_cast<std::time_t>(std::max<std::int64_t>(Since, 0));
        std::tm day{};
        ::gmtime_r(&since, &day);
        mailimap_search_key* key = mailimap_search_key_new_multiple_empty();
        mailimap_search_key_multiple_add(key, mailimap_search_key_new_set(mailimap_set_new_interval(first, last ? 0 : NextNumber - 1)));
        mailimap_search_key_multiple_add(key, mailimap_search_key_new_uid(mailimap_set_new_interval(AfterUid + 1, 0)));
        mailimap_search_key_multiple_add(
            key, mailimap_search_key_new_since(mailimap_date_new(day.tm_mday, day.tm_mon + 1, day.tm_year + 1900)));
        clist* found = nullptr;
        const int searched = mailimap_uid_search(Session, nullptr, key, &found);
        mailimap_search_key_free(key);
        if (searched != MAILIMAP_NO_ERROR) Raise(TImapStage::Read, searched);
        for (clistiter* it = clist_begin(found); it != nullptr; it = clist_next(it)) {
            const std::uint32_t uid = *static_cast<std::uint32_t*>(clist_content(it));
            if (uid > AfterUid) Pending.push_back(uid);
        }
        mailimap_search_result_free(found);
        std::sort(Pending.begin(), Pending.end());
        Pending.erase(std::unique(Pending.begin(), Pending.end()), Pending.end());
        return true;
    }

    // One UID FETCH: the set and the fetch are freed here, the reply is the caller's.
    std::unique_ptr<clist, void (*)(clist*)> UidFetch(mailimap_set* set, mailimap_fetch_type* fetch) {
        clist* messages = nullptr;
        const int fetched = mailimap_uid_fetch(Session, set, fetch, &messages);
        mailimap_fetch_type_free(fetch);
        mailimap_set_free(set);
        if (fetched != MAILIMAP_NO_ERROR) Raise(TImapStage::Read, fetched);
        return {messages, mailimap_fetch_list_free};
    }

    // The answers of these UIDs. Each must come back whole: a FETCH reply
    // without the UID, the arrival time or the header asked for is the
    // server's fault, not an empty mailbox.
    std::vector<TAnswer> FetchPage(const std::vector<std::uint32_t>& uids) {
        mailimap_set* set = mailimap_set_new_empty();
        for (std::uint32_t uid : uids) mailimap_set_add_single(set, uid);
        mailimap_fetch_type* fetch = AnswerFetch();
        const auto owned = UidFetch(set, fetch);
        clist* messages = owned.get();
        std::vector<TAnswer> answers;
        for (clistiter* it = clist_begin(messages); it != nullptr; it = clist_next(it)) {
            TReadMessage read = ReadMessage(static_cast<mailimap_msg_att*>(clist_content(it)));
            if (read.Answer.Uid == 0 && !read.HasData) continue;  // news about flags, not our reply
            if (!std::binary_search(uids.begin(), uids.end(), read.Answer.Uid)) {
                if (read.HasData) throw EImapError(TImapStage::Read, TErrorKind::Protocol, "FETCH");
                continue;
            }
            if (!read.Whole) throw EImapError(TImapStage::Read, TErrorKind::Protocol, "FETCH");
            if (std::none_of(answers.begin(), answers.end(), [&](const TAnswer& a) { return a.Uid == read.Answer.Uid; }))
                answers.push_back(std::move(read.Answer));
        }
        if (answers.size() != uids.size() && AnyStillThere(uids, answers)) throw EImapError(TImapStage::Read, TErrorKind::Protocol, "FETCH");
        std::sort(answers.begin(), answers.end(), [](const TAnswer& a, const TAnswer& b) { return a.Uid < b.Uid; });
        ReadReports(answers);
        return answers;
    }

    // The bounces among the answers, read further and taken apart.
    void ReadReports(std::vector<TAnswer>& answers) {
        mailimap_set* set = mailimap_set_new_empty();
        bool any = false;
        for (const TAnswer& a : answers)
            if (MayBeReport(a)) mailimap_set_add_single(set, a.Uid), any = true;
        if (!any) {
            mailimap_set_free(set);
            return;
        }
        mailimap_fetch_type* fetch = mailimap_fetch_type_new_fetch_att_list_empty();
        mailimap_fetch_type_new_fetch_att_list_add(fetch, mailimap_fetch_att_new_uid());
        mailimap_fetch_type_new_fetch_att_list_add(
            fetch, mailimap_fetch_att_new_body_peek_section_partial(mailimap_section_new_text(), 0, kReportBytes));
        const auto owned = UidFetch(set, fetch);
        clist* messages = owned.get();
        for (clistiter* it = clist_begin(messages); it != nullptr; it = clist_next(it)) {
            std::uint32_t uid = 0;
            const mailimap_msg_att_body_section* body = nullptr;
            for (clistiter* i = clist_begin(static_cast<mailimap_msg_att*>(clist_content(it))->att_list); i != nullptr; i = clist_next(i)) {
                auto* item = static_cast<mailimap_msg_att_item*>(clist_content(i));
                if (item->att_type != MAILIMAP_MSG_ATT_ITEM_STATIC) continue;
                if (item->att_data.att_static->att_type == MAILIMAP_MSG_ATT_UID) uid = item->att_data.att_static->att_data.att_uid;
                if (item->att_data.att_static->att_type == MAILIMAP_MSG_ATT_BODY_SECTION) body = item->att_data.att_static->att_data.att_body_section;
            }
            if (body == nullptr || body->sec_body_part == nullptr) continue;
            for (TAnswer& a : answers)
                if (a.Uid == uid && MayBeReport(a))
                    a.Report = ReadDeliveryReport(a.ContentType, std::string(body->sec_body_part, body->sec_length));
        }
    }

    // A message deleted meanwhile is simply not returned; one the server
    // still has, and did not return, is its failure.
    bool AnyStillThere(const std::vector<std::uint32_t>& uids, const std::vector<TAnswer>& answers) {
        mailimap_set* missing = mailimap_set_new_empty();
        for (std::uint32_t uid : uids)
            if (std::none_of(answers.begin(), answers.end(), [&](const TAnswer& a) { return a.Uid == uid; })) mailimap_set_add_single(missing, uid);
        mailimap_search_key* key = mailimap_search_key_new_uid(missing);
        clist* found = nullptr;
        const int searched = mailimap_uid_search(Session, nullptr, key, &found);
        mailimap_search_key_free(key);
        if (searched != MAILIMAP_NO_ERROR) Raise(TImapStage::Read, searched);
        const bool there = clist_begin(found) != nullptr;
        mailimap_search_result_free(found);
        return there;
    }

    void Secure() {
        try {
            Stream.StartTls(Settings.Server, Settings.TrustFile);
        } catch (const rtl::Exception& e) {
            throw EImapError(TImapStage::Secure, e.Kind, e.Message);
        }
    }

    void Require() {
        if (Session == nullptr || Session->imap_stream == nullptr) throw EImapError(TImapStage::Read, TErrorKind::ClosedByPeer, "");
        if (Stream.Stopped()) throw EImapError(TImapStage::Read, TErrorKind::Stopped, "");
    }

    // A failed command: the stream's own failure when the bytes stopped
    // flowing, else the server's answer.
    [[noreturn]] void Raise(TImapStage Stage, int Code) {
        if (Stream.Stopped()) throw EImapError(Stage, TErrorKind::Stopped, "");
        if (Code == MAILIMAP_ERROR_STREAM) {
            const rtl::Exception& failure = Stream.Failure();
            throw EImapError(Stage, failure.Kind == TErrorKind::Other ? TErrorKind::ClosedByPeer : failure.Kind, failure.Message);
        }
        if (Code == MAILIMAP_ERROR_PARSE) throw EImapError(Stage, TErrorKind::Protocol, "");
        const char* response = Session != nullptr ? Session->imap_response : nullptr;
        throw EImapError(Stage, TErrorKind::Refused, response != nullptr ? response : "");
    }

    void Free() {
        if (Session != nullptr) mailimap_free(Session);
        Session = nullptr;
        Pending.clear();
        NextNumber = 0;
        Stream.Close();
        HasIdle = false;
    }

    TImapSettings Settings;
    TImapStream Stream;
    std::vector<std::uint32_t> Pending;  // found by the last search, not yet fetched
    std::uint32_t NextNumber = 0;        // the first message number of the next search window; 0: start over
    mailimap* Session = nullptr;
    bool HasIdle = false;
};

}  // namespace

std::unique_ptr<TImapMailbox> MakeImapMailbox() { return std::make_unique<TEtpanMailbox>(); }

}  // namespace watch
