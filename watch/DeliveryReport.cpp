#include "watch/DeliveryReport.h"

#include <libetpan/libetpan.h>

#include <cstring>
#include <memory>
#include <strings.h>

namespace watch {
namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// "rfc822; a@b" -> "a@b"; "smtp; 550 ..." -> "550 ...".
std::string WithoutType(const std::string& value) {
    const std::size_t semicolon = value.find(';');
    return Trimmed(semicolon == std::string::npos ? value : value.substr(semicolon + 1));
}

std::string Bare(std::string id) {
    id = Trimmed(id);
    if (!id.empty() && id.front() == '<') id.erase(0, 1);
    if (!id.empty() && id.back() == '>') id.pop_back();
    return id;
}

bool Is(const mailmime_content* content, int composite, int discrete, const char* subtype) {
    if (content == nullptr || content->ct_type == nullptr || content->ct_subtype == nullptr) return false;
    const mailmime_type* type = content->ct_type;
    const bool major = type->tp_type == MAILMIME_TYPE_COMPOSITE_TYPE
                           ? type->tp_data.tp_composite_type != nullptr && type->tp_data.tp_composite_type->ct_type == composite
                           : type->tp_data.tp_discrete_type != nullptr && type->tp_data.tp_discrete_type->dt_type == discrete;
    return major && strcasecmp(content->ct_subtype, subtype) == 0;
}

bool IsText(const mailmime_content* c, const char* subtype) { return Is(c, -1, MAILMIME_DISCRETE_TYPE_TEXT, subtype); }
bool IsMessage(const mailmime_content* c, const char* subtype) { return Is(c, MAILMIME_COMPOSITE_TYPE_MESSAGE, -1, subtype); }

// A single part's body with its transfer encoding undone.
std::string BodyOf(const mailmime* part) {
    const mailmime_data* data = part->mm_type == MAILMIME_SINGLE ? part->mm_data.mm_single : part->mm_body;
    if (data == nullptr || data->dt_type != MAILMIME_DATA_TEXT) return {};
    const char* text = data->dt_data.dt_text.dt_data;
    const std::size_t length = data->dt_data.dt_text.dt_length;
    if (data->dt_encoded && (data->dt_encoding == MAILMIME_MECHANISM_BASE64 || data->dt_encoding == MAILMIME_MECHANISM_QUOTED_PRINTABLE)) {
        std::size_t index = 0;
        char* decoded = nullptr;
        std::size_t decodedLength = 0;
        if (mailmime_part_parse(text, length, &index, data->dt_encoding, &decoded, &decodedLength) == MAILIMF_NO_ERROR) {
            std::string result(decoded, decodedLength);
            mmap_string_unref(decoded);
            return result;
        }
    }
    return std::string(text, length);
}

std::string MessageIdOf(const mailimf_fields* fields) {
    if (fields == nullptr) return {};
    for (clistiter* it = clist_begin(fields->fld_list); it != nullptr; it = clist_next(it)) {
        const auto* field = static_cast<const mailimf_field*>(clist_content(it));
        if (field->fld_type == MAILIMF_FIELD_MESSAGE_ID && field->fld_data.fld_message_id->mid_value != nullptr)
            return Bare(field->fld_data.fld_message_id->mid_value);
    }
    return {};
}

std::string MessageIdOfHeaders(const std::string& headers) {
    std::size_t index = 0;
    mailimf_fields* fields = nullptr;
    if (mailimf_envelope_and_optional_fields_parse(headers.data(), headers.size(), &index, &fields) != MAILIMF_NO_ERROR) return {};
    const std::string id = MessageIdOf(fields);
    mailimf_fields_free(fields);
    return id;
}

// The per-recipient groups of a message/delivery-status body: fields as in
// a header, groups parted by blank lines, the first one the message's own.
void ReadStatusGroups(const std::string& body, TDeliveryReport& report) {
    TRecipientReport recipient;
    std::string name, value;
    const auto field = [&] {
        const std::string key = Lower(Trimmed(name));
        const std::string v = Trimmed(value);
        if (key == "final-recipient") recipient.Recipient = WithoutType(v);
        else if (key == "action") recipient.Action = Lower(v);
        else if (key == "status") recipient.Status = v.substr(0, v.find_first_of(" \t("));
        else if (key == "diagnostic-code") recipient.Diagnostic = WithoutType(v);
        name.clear();
        value.clear();
    };
    const auto group = [&] {
        field();
        if (!recipient.Recipient.empty()) report.Recipients.push_back(recipient);
        recipient = {};
    };
    std::size_t from = 0;
    while (from <= body.size()) {
        std::size_t end = body.find('\n', from);
        if (end == std::string::npos) end = body.size();
        std::string line = body.substr(from, end - from);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        from = end + 1;
        if (Trimmed(line).empty()) group();
        else if ((line[0] == ' ' || line[0] == '\t') && !name.empty()) value += ' ' + Trimmed(line);
        else if (const std::size_t colon = line.find(':'); colon != std::string::npos) {
            field();
            name = line.substr(0, colon);
            value = line.substr(colon + 1);
        }
    }
    group();
}

std::string FirstLineOf(const std::string& text) {
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trimmed(text.substr(from, end - from));
        if (!line.empty()) return line;
        from = end + 1;
    }
    return {};
}

void Walk(const mailmime* part, TDeliveryReport& report) {
    const mailmime_content* type = part->mm_content_type;
    if (part->mm_type == MAILMIME_MULTIPLE) {
        for (clistiter* it = clist_begin(part->mm_data.mm_multipart.mm_mp_list); it != nullptr; it = clist_next(it))
            Walk(static_cast<const mailmime*>(clist_content(it)), report);
    } else if (IsMessage(type, "delivery-status") || IsMessage(type, "global-delivery-status")) {
        ReadStatusGroups(BodyOf(part), report);
    } else if (IsMessage(type, "rfc822") || IsMessage(type, "global")) {
        if (report.MessageId.empty() && part->mm_type == MAILMIME_MESSAGE) report.MessageId = MessageIdOf(part->mm_data.mm_message.mm_fields);
    } else if (IsText(type, "rfc822-headers")) {
        if (report.MessageId.empty()) report.MessageId = MessageIdOfHeaders(BodyOf(part));
    } else if (IsText(type, "plain") && report.FirstLine.empty()) {
        report.FirstLine = FirstLineOf(BodyOf(part));
    }
}

}  // namespace

std::optional<TDeliveryReport> ReadDeliveryReport(const std::string& ContentType, const std::string& Body) {
    const std::string message = "Content-Type: " + ContentType + "\r\nMIME-Version: 1.0\r\n\r\n" + Body;
    std::size_t index = 0;
    mailmime* mime = nullptr;
    if (mailmime_parse(message.data(), message.size(), &index, &mime) != MAILIMF_NO_ERROR) return std::nullopt;
    std::unique_ptr<mailmime, void (*)(mailmime*)> owned(mime, mailmime_free);
    // The parser takes the text for a whole message: its body is the report.
    if (mime->mm_type == MAILMIME_MESSAGE) mime = mime->mm_data.mm_message.mm_msg_mime;
    if (mime == nullptr) return std::nullopt;
    mailmime_content* type = mime->mm_content_type;
    if (mime->mm_type != MAILMIME_MULTIPLE || !Is(type, MAILMIME_COMPOSITE_TYPE_MULTIPART, -1, "report")) return std::nullopt;
    char* reportType = mailmime_content_param_get(type, const_cast<char*>("report-type"));
    if (reportType == nullptr || strcasecmp(Trimmed(reportType).c_str(), "delivery-status") != 0) return std::nullopt;
    TDeliveryReport report;
    Walk(mime, report);
    return report;
}

}  // namespace watch
