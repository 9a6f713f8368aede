// Sends one message with one attachment through the mail client, the way the
// program does (Connect, fill the message, SubmitMessage, Disconnect), and
// reports what tools/bench needs beyond the wall time it takes itself.
//   send_bench send PORT ATTACHMENT
//       One send to 127.0.0.1:PORT. Prints one line of key=value fields:
//       total_s (Connect to the end of Disconnect), compose_s (from
//       SubmitMessage to the first command: what composition does before the
//       dialogue), peak_delta (growth of the peak resident size over the
//       resident size just before SubmitMessage, in bytes), longest_gap_s (the
//       longest time between two passes of the message loop, composition
//       included: it runs the loop too), compose_gap_s (the same within
//       compose_s), passes, and longest_gap_cpu_s (the CPU time this thread
//       used between two passes of the loop, at most: the longest step's own
//       work, without the time a busy machine did not run it).
//   send_bench send-tls PORT ATTACHMENT TRUSTFILE
//       The same over TLS from the first byte, trusting the authority in TRUSTFILE.
//   send_bench compose ATTACHMENT OUTPUT
//       Writes the bytes the client sends after DATA (header block and message
//       text) to OUTPUT, for the reference client to send the same message.
#include "mail/Zelsmtp.h"
#include "platform/Windows.h"
#include "rtl/SysUtils.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <time.h>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

// A field of /proc/self/status (VmHWM:, VmRSS:) in bytes; 0 when it cannot be read.
std::int64_t StatusBytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stoll(line.substr(field.size())) * 1024;
    return 0;
}

// Sets the peak resident size back to the present one, so that what start-up
// touched and let go does not hide the send's own growth.
void ResetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A hidden window whose 1 ms timer records when each pass of the message loop
// delivered it: a long gap between two arrivals is a time the loop did not run.
// With each arrival, the CPU time this thread had used by then: on a busy
// machine a wall-clock gap may be time the thread was not scheduled at all,
// the CPU time between two arrivals is the work done in that step.
std::vector<Clock::time_point> arrivals;
std::vector<double> arrivalCpu;

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

Win::LRESULT ProbeProc(Win::HWND wnd, Win::UINT msg, Win::WPARAM w, Win::LPARAM l) {
    if (msg == Win::WM_TIMER) {
        arrivals.push_back(Clock::now());
        arrivalCpu.push_back(ThreadCpuSeconds());
        return 0;
    }
    return Win::DefWindowProc(wnd, msg, w, l);
}

void FillMessage(mail::TZelSMTP& client, const std::string& attachment) {
    auto& m = client.PostMessage();
    m.FromAddress = "bench@example.com";
    m.FromName = "bench@example.com";
    m.Subject = "Fax";
    m.ReplyTo = "bench@example.com";
    m.Body.Add("bench@example.comSend a Fax");
    m.ToBlindCarbonCopy.Add("fax@example.com");
    m.Attachments.Add(attachment);
}

int Compose(const std::string& attachment, const std::string& output) {
    mail::TZelSMTP client(nullptr);
    FillMessage(client, attachment);
    client.ComposeMessage();
    // As SendHeaderBlock puts it on the wire, followed by the text.
    const std::string header = client.FinalHeader.Text() + "\r\n\r\n";
    std::FILE* file = std::fopen(output.c_str(), "wb");
    if (file == nullptr) throw rtl::EStreamError("Cannot create file " + output);
    const auto size = static_cast<std::size_t>(client.MessageStream.Size());
    const bool written = std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
                         std::fwrite(client.MessageStream.Memory(), 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) throw rtl::EStreamError("Cannot write file " + output);
    return 0;
}

int Send(int port, const std::string& attachment, const std::string& trustFile) {
    Win::WNDCLASS wc;
    wc.lpszClassName = "SendBenchProbe";
    wc.lpfnWndProc = ProbeProc;
    if (!Win::RegisterClass(wc)) throw rtl::Exception("cannot register the probe window class");
    const Win::HWND probe = Win::CreateWindow(wc.lpszClassName);
    // Reserved now so that recording does not count in the peak resident size.
    arrivals.reserve(1 << 20);
    arrivalCpu.reserve(1 << 20);

    mail::TZelSMTP client(nullptr);
    client.Host = "127.0.0.1";
    client.Port = port;
    client.UserID = "bench";
    if (!trustFile.empty()) {
        client.Security = mail::TSmtpSecurity::ImplicitTls;
        client.TrustFile = rtl::TFilePath(trustFile);
    }
    Clock::time_point sendStart{};
    client.OnSendStart = [&](rtl::TObject*) { sendStart = Clock::now(); };
    if (!Win::SetTimer(probe, 1, 1)) throw rtl::Exception("cannot set the probe timer");

    const auto start = Clock::now();
    client.Connect();
    FillMessage(client, attachment);
    ResetPeakResident();
    const std::int64_t peakBefore = StatusBytes("VmRSS:");
    const auto submit = Clock::now();
    client.SubmitMessage();
    client.Disconnect();
    const auto end = Clock::now();
    const std::int64_t peakAfter = StatusBytes("VmHWM:");
    Win::KillTimer(probe, 1);
    Win::DestroyWindow(probe);

    // The loop's pass times with the ends of the whole send and of composition.
    std::vector<Clock::time_point> marks{start, submit, sendStart, end};
    marks.insert(marks.end(), arrivals.begin(), arrivals.end());
    std::sort(marks.begin(), marks.end());
    double longest = 0, composeLongest = 0;
    for (std::size_t i = 1; i < marks.size(); ++i) {
        const double gap = Seconds(marks[i - 1], marks[i]);
        longest = std::max(longest, gap);
        if (marks[i - 1] >= submit && marks[i] <= sendStart) composeLongest = std::max(composeLongest, gap);
    }
    double longestCpu = 0;
    for (std::size_t i = 1; i < arrivalCpu.size(); ++i) longestCpu = std::max(longestCpu, arrivalCpu[i] - arrivalCpu[i - 1]);
    std::printf("total_s=%.6f compose_s=%.6f peak_delta=%lld longest_gap_s=%.6f compose_gap_s=%.6f passes=%zu "
                "longest_gap_cpu_s=%.6f\n",
                Seconds(start, end), Seconds(submit, sendStart), static_cast<long long>(peakAfter - peakBefore), longest,
                composeLongest, arrivals.size(), longestCpu);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if ((args.size() == 3 && args[0] == "send") || (args.size() == 4 && args[0] == "send-tls")) {
            std::int32_t port = 0;
            if (!rtl::TryStrToInt(args[1], port) || port <= 0 || port > 65535) {
                std::fprintf(stderr, "send_bench: bad port %s\n", args[1].c_str());
                return 2;
            }
            return Send(port, args[2], args.size() == 4 ? args[3] : "");
        }
        if (args.size() == 3 && args[0] == "compose") return Compose(args[1], args[2]);
    } catch (const rtl::Exception& e) {
        std::fprintf(stderr, "send_bench: %s\n", e.Message.c_str());
        return 1;
    }
    std::fprintf(stderr, "usage: send_bench send PORT ATTACHMENT | send_bench send-tls PORT ATTACHMENT TRUSTFILE | "
                         "send_bench compose ATTACHMENT OUTPUT\n");
    return 2;
}
