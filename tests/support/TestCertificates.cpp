#include "tests/support/TestCertificates.h"

#include "tests/support/RealSmtpServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace testsupport {
namespace {

class CertificateFolder {
public:
    CertificateFolder() {
        std::string pattern = ::testing::TempDir() + "certs-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        Folder = pattern;
        std::string output;
        if (RunCommand("/bin/bash " + SourceRoot() + "/tests/support/make_certs.sh " + Folder, output) != 0) {
            std::error_code ec;
            std::filesystem::remove_all(Folder, ec);
            throw std::runtime_error("making the test certificates failed: " + output);
        }
        auto pair = [this](const std::string& stem) {
            return CertificateFiles{Folder + "/" + stem + ".pem", Folder + "/" + stem + ".key"};
        };
        Files = {Folder + "/authority.pem", Folder + "/store", pair("server"), pair("other-name"), pair("unknown"), pair("expired"),
                 pair("no-alt-name")};
    }
    ~CertificateFolder() {
        std::error_code ec;
        std::filesystem::remove_all(Folder, ec);
    }
    CertificateFolder(const CertificateFolder&) = delete;
    CertificateFolder& operator=(const CertificateFolder&) = delete;

    std::string Folder;
    TestCertificates Files;
};

}  // namespace

const TestCertificates& Certificates() {
    static const CertificateFolder folder;
    return folder.Files;
}

}  // namespace testsupport
