#include "watch/AnswerMatch.h"

#include "fax/NumberFront.h"

#include <algorithm>
#include <fnmatch.h>
#include <optional>
#include <regex>

namespace watch {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiWordChar(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), Lower);
    return text;
}

std::string Bare(const std::string& id) {
    std::size_t first = id.find_first_not_of(" <");
    std::size_t last = id.find_last_not_of(" >");
    return first == std::string::npos ? std::string() : id.substr(first, last - first + 1);
}

std::string DigitsOf(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (IsDigit(c)) digits += c;
    return digits;
}

// The written forms of the number, as digits only.
std::vector<std::string> NumberForms(const std::string& number) {
    fax::TNumberReading parsed;
    try {
        parsed = fax::ReadFaxNumber(number, 0);
    } catch (const rtl::Exception&) {
        parsed.Ok = false;
    }
    if (!parsed.Ok) {
        std::string digits = DigitsOf(number);
        if (digits.rfind("00", 0) == 0) digits.erase(0, 2);
        return digits.empty() ? std::vector<std::string>{} : std::vector<std::string>{digits};
    }
    const std::string national = parsed.National.empty() ? parsed.Number.Area + DigitsOf(parsed.Number.Subscriber) : parsed.National;
    const std::string& country = parsed.Number.Country;
    return {country + national, national, "0" + national, "00" + country + national, "011" + country + national};
}

bool ContainsWord(const std::string& text, const std::string& word) {
    if (word.empty()) return false;
    const bool latin = IsAsciiWordChar(word.front());
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        if (!latin) return true;
        const std::size_t end = at + word.size();
        if ((at == 0 || !IsAsciiWordChar(text[at - 1])) && (end >= text.size() || !IsAsciiWordChar(text[end]))) return true;
    }
    return false;
}

bool HasAny(const std::string& text, const std::vector<std::string>& words) {
    return std::any_of(words.begin(), words.end(), [&](const std::string& w) { return ContainsWord(text, LowerAscii(w)); });
}

std::string DomainOf(const std::string& address) {
    const std::size_t at = address.rfind('@');
    return LowerAscii(at == std::string::npos ? address : address.substr(at + 1));
}

bool EndsWithLabel(const std::string& domain, const std::string& parent) {
    return domain.size() > parent.size() && domain.compare(domain.size() - parent.size(), parent.size(), parent) == 0 &&
           domain[domain.size() - parent.size() - 1] == '.';
}


// The header with its comments left out and its folding undone.
std::string WithoutComments(const std::string& header) {
    std::string text;
    int depth = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < header.size(); ++i) {
        const char c = header[i];
        if (quoted) {
            if (c == '\\' && i + 1 < header.size()) ++i;
            else if (c == '"') quoted = false;
            if (depth == 0) text += c;
            continue;
        }
        if (c == '(') ++depth;
        else if (c == ')' && depth > 0) --depth;
        else if (depth == 0) {
            if (c == '"') quoted = true;
            text += c == '\r' || c == '\n' || c == '\t' ? ' ' : c;
        }
    }
    return text;
}

std::vector<std::string> Split(const std::string& text, char by) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at = text.find(by); at != std::string::npos; at = text.find(by, from)) {
        parts.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    parts.push_back(text.substr(from));
    return parts;
}

std::vector<std::string> Tokens(const std::string& text) {
    std::vector<std::string> tokens;
    for (const std::string& t : Split(text, ' '))
        if (!t.empty()) tokens.push_back(t);
    return tokens;
}

std::string Unquoted(std::string value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    return value;
}

// The name a server signs its results with belongs to the user's server:
// the same host, or a host of the same parent domain (mx.example.org for
// imap.example.org), never a bare top-level domain.
bool IsOwnServer(const std::string& id, const std::string& server) {
    if (id.empty() || server.empty()) return false;
    if (id == server) return true;
    const std::size_t dot = server.find('.');
    if (dot == std::string::npos) return false;
    const std::string parent = server.substr(dot + 1);
    if (parent.find('.') == std::string::npos) return false;
    return id == parent || EndsWithLabel(id, parent);
}

}  // namespace

const char* OutcomeName(TOutcome Outcome) {
    switch (Outcome) {
        case TOutcome::Delivered: return "delivered";
        case TOutcome::Failed: return "failed";
        case TOutcome::Unverified: return "unverified";
        case TOutcome::Delayed: return "delayed";
        case TOutcome::Unanswered: return "unanswered";
        default: return "answered";
    }
}

bool RefersTo(const TAnswer& Answer, const std::string& MessageId) {
    const std::string id = Bare(MessageId);
    if (id.empty()) return false;
    if (Bare(Answer.InReplyTo) == id) return true;
    return std::any_of(Answer.References.begin(), Answer.References.end(), [&](const std::string& r) { return Bare(r) == id; });
}

bool FromGateway(const std::string& Sender, const std::string& GatewayAddress, const std::string& Number,
                 const std::string& SenderPattern) {
    if (!SenderPattern.empty()) return ::fnmatch(SenderPattern.c_str(), Sender.c_str(), FNM_CASEFOLD) == 0;
    const std::string sender = DomainOf(Sender);
    std::string base = DomainOf(GatewayAddress);
    // The labels that carry the number are the fax's own, not the gateway's.
    const std::vector<std::string> forms = NumberForms(Number);
    for (std::size_t dot = base.find('.'); dot != std::string::npos; dot = base.find('.')) {
        const std::string label = base.substr(0, dot);
        if (std::none_of(forms.begin(), forms.end(), [&](const std::string& f) { return label.find(f) != std::string::npos; })) break;
        base.erase(0, dot + 1);
    }
    if (sender.empty() || base.empty()) return false;
    const bool parentWithTwoLabels = sender.find('.') != std::string::npos && EndsWithLabel(base, sender);
    return sender == base || EndsWithLabel(sender, base) || parentWithTwoLabels;
}

bool NamesNumber(const std::string& Text, const std::string& Number) {
    const std::vector<std::string> forms = NumberForms(Number);
    if (forms.empty()) return false;
    auto isSeparator = [](char c) { return c == ' ' || c == '-' || c == '.' || c == '(' || c == ')' || c == '+' || c == '/'; };
    std::size_t i = 0;
    while (i < Text.size()) {
        if (!IsDigit(Text[i])) {
            ++i;
            continue;
        }
        if (i > 0 && IsAsciiWordChar(Text[i - 1])) {  // part of a word such as an id: not a number
            while (i < Text.size() && IsAsciiWordChar(Text[i])) ++i;
            continue;
        }
        // One written number: groups of digits, joined by at most three separators.
        std::vector<std::string> groups;
        while (i < Text.size() && IsDigit(Text[i])) {
            std::string group;
            while (i < Text.size() && IsDigit(Text[i])) group += Text[i++];
            groups.push_back(group);
            std::size_t next = i;
            while (next < Text.size() && next - i < 3 && isSeparator(Text[next])) ++next;
            if (next == i || next >= Text.size() || !IsDigit(Text[next])) break;
            i = next;
        }
        for (std::size_t first = 0; first < groups.size(); ++first) {
            std::string joined;
            for (std::size_t last = first; last < groups.size(); ++last) {
                joined += groups[last];
                if (std::find(forms.begin(), forms.end(), joined) != forms.end()) return true;
            }
        }
    }
    return false;
}

bool SenderAuthenticated(const std::string& AuthenticationResults, const std::string& Sender, const std::string& MailServer) {
    const std::string domain = DomainOf(Sender);
    if (domain.empty() || Sender.find('@') == std::string::npos) return false;
    const std::vector<std::string> parts = Split(LowerAscii(WithoutComments(AuthenticationResults)), ';');
    const std::vector<std::string> id = Tokens(parts.front());
    if (id.empty() || !IsOwnServer(id.front(), LowerAscii(MailServer))) return false;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::vector<std::string> tokens = Tokens(parts[i]);
        if (tokens.empty()) continue;
        const bool dkim = tokens.front() == "dkim=pass";
        const bool spf = tokens.front() == "spf=pass";
        if (!dkim && !spf) continue;
        for (std::size_t t = 1; t < tokens.size(); ++t) {
            const std::size_t equals = tokens[t].find('=');
            if (equals == std::string::npos) continue;
            const std::string property = tokens[t].substr(0, equals);
            const std::string value = Unquoted(tokens[t].substr(equals + 1));
            if (dkim && (property == "header.d" || property == "header.i") && DomainOf(value) == domain) return true;
            if (spf && property == "smtp.mailfrom" && DomainOf(value) == domain) return true;
        }
    }
    return false;
}

TOutcome OutcomeOf(const TAnswer& Answer, const TOutcomeWords& Words) {
    for (const std::string& text : {LowerAscii(Answer.Subject), LowerAscii(Answer.Text)}) {
        if (HasAny(text, Words.Failed)) return TOutcome::Failed;
        if (HasAny(text, Words.Delivered)) return TOutcome::Delivered;
    }
    return TOutcome::Answered;
}

int PagesOf(const std::string& Text) {
    static const std::regex patterns[] = {
        std::regex(R"(pages[ _]?(?:sent)?\s*[:=]\s*(\d{1,4}))", std::regex::icase),
        std::regex(R"((?:^|[^0-9a-z])(\d{1,4})\s*pages?\b)", std::regex::icase),
        std::regex("\xE5\x85\xB1\\s*(\\d{1,4})\\s*\xE9\xA1\xB5"),  // 共3页
    };
    for (const std::regex& pattern : patterns) {
        std::smatch match;
        if (std::regex_search(Text, match, pattern)) return std::stoi(match[1].str());
    }
    return -1;
}

std::string AnswerKey(std::int64_t Arrived, const std::string& Subject) { return std::to_string(Arrived) + " " + Subject; }

namespace {

enum class TFit { None, Refers, Unverified, Verified };

bool SameAddress(const std::string& a, const std::string& b) { return LowerAscii(Bare(a)) == LowerAscii(Bare(b)); }

// A bounce belongs to the fax whose headers it returns, or that it refers to.
bool ReportsOn(const TAnswer& answer, const TSentFax& fax) {
    const std::string id = Bare(fax.MessageId);
    return !id.empty() && (Bare(answer.Report->MessageId) == id || RefersTo(answer, fax.MessageId));
}

// How the answer could belong to the fax.
TFit FitOf(const TSentFax& fax, const TAnswer& answer, const TMatchRules& rules) {
    if (answer.Arrived < fax.SentAt) return TFit::None;
    if (answer.Report) return ReportsOn(answer, fax) ? TFit::Refers : TFit::None;
    if (RefersTo(answer, fax.MessageId)) return TFit::Refers;
    if (!FromGateway(answer.From, fax.Gateway, fax.Number, rules.SenderPattern) || !NamesNumber(answer.Subject + "\n" + answer.Text, fax.Number))
        return TFit::None;
    if (SenderAuthenticated(answer.AuthenticationResults, answer.From, rules.MailServer)) return TFit::Verified;
    return fax.Unverified ? TFit::None : TFit::Unverified;
}

// What a bounce says of one recipient: failed, or delayed; nullopt for a
// success notice, which says nothing of the fax.
std::optional<TOutcome> ReportOutcome(const TRecipientReport* r) {
    if (r == nullptr) return TOutcome::Failed;
    if (r->Action == "failed") return TOutcome::Failed;
    if (r->Action == "delayed") return TOutcome::Delayed;
    if (r->Action.empty() && !r->Status.empty() && r->Status[0] == '5') return TOutcome::Failed;
    if (r->Action.empty() && !r->Status.empty() && r->Status[0] == '4') return TOutcome::Delayed;
    return std::nullopt;
}

std::string ReasonOf(const TDeliveryReport& report, const TRecipientReport* r) {
    const std::string detail = r != nullptr && !r->Diagnostic.empty() ? r->Diagnostic : report.FirstLine;
    const std::string status = r != nullptr ? r->Status : std::string();
    return status.empty() ? detail : detail.empty() ? status : status + " " + detail;
}

// A bounce's matches: each waiting number of the fax it reports on whose
// gateway address it names. A fax to one number takes it whatever address
// it names (a gateway may pass the mail on under another one); of a fax to
// several, a bounce that names none of them cannot tell which one failed.
void MatchReport(std::size_t index, const TAnswer& answer, std::vector<const TSentFax*>& waiting, std::vector<TMatch>& matches) {
    const TDeliveryReport& report = *answer.Report;
    std::vector<const TSentFax*> faxes;
    for (const TSentFax* fax : waiting)
        if (answer.Arrived >= fax->SentAt && ReportsOn(answer, *fax) && (faxes.empty() || faxes.front()->Id == fax->Id)) faxes.push_back(fax);
    for (const TSentFax* fax : faxes) {
        const TRecipientReport* r = nullptr;
        for (const TRecipientReport& candidate : report.Recipients)
            if (SameAddress(candidate.Recipient, fax->Gateway)) r = &candidate;
        if (r == nullptr && fax->Numbers > 1) continue;
        if (r == nullptr && !report.Recipients.empty()) r = &report.Recipients.front();
        const std::optional<TOutcome> outcome = ReportOutcome(r);
        // A delay told after the answer period changes nothing: the fax stays unanswered.
        if (!outcome || (*outcome == TOutcome::Delayed && fax->Unanswered)) continue;
        matches.push_back({index, fax->Id, *outcome, fax->Index, ReasonOf(report, r), -1});
        waiting.erase(std::find(waiting.begin(), waiting.end(), fax));
    }
}

bool ArrivedBefore(const TAnswer& a, const TAnswer& b) { return a.Arrived != b.Arrived ? a.Arrived < b.Arrived : a.Uid < b.Uid; }

}  // namespace

std::vector<TMatch> MatchAnswers(const std::vector<TSentFax>& Faxes, const std::vector<TAnswer>& Answers,
                                 const std::set<std::string>& Used, const TMatchRules& Rules) {
    std::vector<std::size_t> order(Answers.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ArrivedBefore(Answers[a], Answers[b]); });
    std::vector<const TSentFax*> waiting;
    for (const TSentFax& fax : Faxes) waiting.push_back(&fax);
    std::stable_sort(waiting.begin(), waiting.end(), [](const TSentFax* a, const TSentFax* b) {
        if (a->SentAt != b->SentAt) return a->SentAt < b->SentAt;
        return a->Id != b->Id ? a->Id < b->Id : a->Index < b->Index;
    });

    std::vector<TMatch> matches;
    for (std::size_t index : order) {
        const TAnswer& answer = Answers[index];
        if (Used.count(AnswerKey(answer.Arrived, answer.Subject)) != 0) continue;
        if (answer.Report) {
            MatchReport(index, answer, waiting, matches);
            continue;
        }
        const std::string text = answer.Subject + "\n" + answer.Text;
        auto chosen = waiting.end();
        auto referred = waiting.end();
        TFit fit = TFit::None;
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            const TFit f = FitOf(**it, answer, Rules);
            // Of a fax's numbers, the one the answer names; else its first.
            if (f == TFit::Refers) {
                const bool names = NamesNumber(text, (*it)->Number);
                if (referred == waiting.end() || names) referred = it;
                if (names) break;
                continue;
            }
            if (chosen == waiting.end() && f != TFit::None) {
                chosen = it;
                fit = f;
            }
        }
        if (referred != waiting.end()) chosen = referred, fit = TFit::Refers;
        if (chosen == waiting.end()) continue;
        const TOutcome outcome = fit == TFit::Unverified ? TOutcome::Unverified : OutcomeOf(answer, Rules.Words);
        matches.push_back({index, (*chosen)->Id, outcome, (*chosen)->Index, std::string(), PagesOf(text)});
        waiting.erase(chosen);
    }
    return matches;
}

std::vector<TAnswer> Candidates(const std::vector<TSentFax>& Faxes, std::vector<TAnswer> Answers,
                                const std::set<std::string>& Used, const TMatchRules& Rules) {
    std::sort(Answers.begin(), Answers.end(), ArrivedBefore);
    std::vector<std::size_t> taken(Faxes.size(), 0);
    std::vector<TAnswer> kept;
    for (TAnswer& answer : Answers) {
        if (Used.count(AnswerKey(answer.Arrived, answer.Subject)) != 0) continue;
        bool keep = false;
        for (std::size_t f = 0; f < Faxes.size(); ++f)
            if (taken[f] < Faxes.size() && FitOf(Faxes[f], answer, Rules) != TFit::None) {
                ++taken[f];
                keep = true;
            }
        if (keep) kept.push_back(std::move(answer));
    }
    return kept;
}

}  // namespace watch
