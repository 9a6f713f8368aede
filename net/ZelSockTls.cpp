// The TLS client session: context, verification, handshake steps and
// encryption, all through a BIO pair.
#include "net/ZelSockTls.h"

#include "net/ZelSock.h"
#include "platform/Catalogue.h"
#include "rtl/SmallFile.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdlib>

namespace net {
namespace {

using namespace tls_texts;

// Each direction of the BIO pair. Four full records fit, so a send pass never
// waits for room after a flush, and a received record never waits for space.
constexpr std::size_t kBioBuffer = 64 * 1024;

// Far more than any bundle of authorities (Debian's whole one is about 200 KB).
constexpr std::int64_t kMaxTrustFile = 4 * 1024 * 1024;

const char* SmallFileReason(rtl::TSmallFileFailure failure) {
    switch (failure) {
        case rtl::TSmallFileFailure::Missing: return kTrustMissing;
        case rtl::TSmallFileFailure::Denied: return kTrustDenied;
        case rtl::TSmallFileFailure::NotRegular: return kTrustNotRegular;
        case rtl::TSmallFileFailure::TooLarge: return kTrustTooLarge;
        case rtl::TSmallFileFailure::Unreadable:
        case rtl::TSmallFileFailure::None: break;
    }
    return kTrustReadError;
}

const char* VerifyReason(long result) {
    switch (result) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED: return kUnknownAuthority;
        case X509_V_ERR_CERT_HAS_EXPIRED: return kExpired;
        case X509_V_ERR_CERT_NOT_YET_VALID: return kNotYetValid;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH: return kNameMismatch;
        default: return kBadCertificate;
    }
}

const char* ProtocolReason(unsigned long error) {
    if (ERR_GET_LIB(error) != ERR_LIB_SSL) return kHandshakeFailed;
    switch (ERR_GET_REASON(error)) {
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        case SSL_R_NO_PROTOCOLS_AVAILABLE:
        case SSL_R_VERSION_TOO_LOW: return kProtocolTooOld;
        // Plain text where a record was expected: a server that does not
        // speak TLS on this port (or not yet).
        case SSL_R_WRONG_VERSION_NUMBER:
        case SSL_R_PACKET_LENGTH_TOO_LONG: return kNotTls;
        default: return kHandshakeFailed;
    }
}

std::string OpenSslReason(unsigned long error) {
    const char* reason = ERR_reason_error_string(error);
    return reason != nullptr ? reason : "error " + std::to_string(ERR_GET_REASON(error));
}

// The certificates (and revocation lists) of a PEM text into the context's
// store; false when it holds none.
bool AddAuthorities(SSL_CTX* Context, const std::string& Pem) {
    BIO* bio = BIO_new_mem_buf(Pem.data(), static_cast<int>(Pem.size()));
    if (bio == nullptr) return false;
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (infos == nullptr) return false;
    X509_STORE* store = SSL_CTX_get_cert_store(Context);
    int added = 0;
    for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
        const X509_INFO* info = sk_X509_INFO_value(infos, i);
        if (info->x509 != nullptr && X509_STORE_add_cert(store, info->x509) == 1) ++added;
        if (info->crl != nullptr) X509_STORE_add_crl(store, info->crl);
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    ERR_clear_error();  // a duplicate authority is no failure
    return added > 0;
}

struct TContextFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct TSslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};
struct TBioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};

}  // namespace

struct TTlsSession::TState {
    std::unique_ptr<SSL_CTX, TContextFree> Context;
    std::unique_ptr<BIO, TBioFree> Network;  // our end of the pair; the session owns the other
    std::unique_ptr<SSL, TSslFree> Ssl;
};

TTlsSession::TTlsSession(const std::string& AServerName, const std::string& TrustFile)
    : State(std::make_unique<TState>()), ServerName(AServerName) {
    ERR_clear_error();
    auto setupFailed = [this](const std::string& reason) {
        const unsigned long error = ERR_peek_error();
        Fail(reason, error != 0 ? OpenSslReason(error) : "");
        return ESockError(Failure, rtl::TErrorKind::Tls);
    };
    State->Context.reset(SSL_CTX_new(TLS_client_method()));
    if (!State->Context) throw setupFailed(kHandshakeFailed);
    SSL_CTX* context = State->Context.get();
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // A send pass hands over one record at a time and may retry from a queue
    // that has grown (and moved) meanwhile.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The system's authorities, from the hashed directory that Debian's
    // ca-certificates keeps beside its bundle (SSL_CERT_DIR may name another):
    // an authority is read when a chain needs it. Loading the whole bundle up
    // front, as SSL_CTX_set_default_verify_paths does (also when SSL_CERT_FILE
    // names it), costs 20-80 ms per session here; the directory under 1 ms.
    const char* directory = std::getenv(X509_get_default_cert_dir_env());
    SSL_CTX_load_verify_dir(context, directory != nullptr ? directory : X509_get_default_cert_dir());
    ERR_clear_error();
    if (!TrustFile.empty()) {
        // Read as attachments are: OpenSSL's own loader would open a FIFO and
        // wait, or read an endless file for ever.
        std::string pem;
        const rtl::TSmallFileFailure failure = rtl::ReadSmallFile(TrustFile, kMaxTrustFile, pem);
        if (failure != rtl::TSmallFileFailure::None) throw setupFailed(kTrustFileUnreadable + TrustFile + SmallFileReason(failure));
        if (!AddAuthorities(context, pem)) throw setupFailed(kTrustFileUnreadable + TrustFile + kTrustNoCertificate);
    }

    State->Ssl.reset(SSL_new(context));
    BIO* inner = nullptr;
    BIO* outer = nullptr;
    if (!State->Ssl || BIO_new_bio_pair(&inner, kBioBuffer, &outer, kBioBuffer) != 1) throw setupFailed(kHandshakeFailed);
    State->Network.reset(outer);
    SSL* ssl = State->Ssl.get();
    SSL_set_bio(ssl, inner, inner);
    // An address literal is checked against the certificate's IP entries and
    // is never sent as SNI; a name is sent and checked as a host name.
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), ServerName.c_str()) != 1) {
        ERR_clear_error();
        // The name must be among the certificate's subjectAltName entries: a
        // certificate that names the host only in its subject's CN is refused,
        // as browsers and curl refuse it.
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        if (SSL_set_tlsext_host_name(ssl, ServerName.c_str()) != 1 || SSL_set1_host(ssl, ServerName.c_str()) != 1)
            throw setupFailed(kHandshakeFailed);
    }
    SSL_set_connect_state(ssl);
}

TTlsSession::~TTlsSession() = default;

void TTlsSession::Fail(const std::string& Reason, const std::string& Detail) {
    Failure = kFailedBefore + ServerName + kFailedAfter + Reason;
    Kind = Reason == kUnknownAuthority ? rtl::TErrorKind::TlsUntrusted
           : Reason == kNameMismatch   ? rtl::TErrorKind::TlsNameMismatch
           : Reason == kNotTls         ? rtl::TErrorKind::TlsNotTls
                                       : rtl::TErrorKind::Tls;
    if (!Detail.empty()) Failure += " (" + Detail + ")";
    ERR_clear_error();
}

TTlsSession::TStatus TTlsSession::StatusOf(int Result) {
    switch (SSL_get_error(State->Ssl.get(), Result)) {
        case SSL_ERROR_WANT_READ: return TStatus::WantRead;
        case SSL_ERROR_WANT_WRITE: return TStatus::WantWrite;
        case SSL_ERROR_ZERO_RETURN: return TStatus::Closed;
        default: break;
    }
    const long verify = SSL_get_verify_result(State->Ssl.get());
    if (verify != X509_V_OK) {
        Fail(VerifyReason(verify), X509_verify_cert_error_string(verify));
    } else {
        const unsigned long error = ERR_peek_error();
        Fail(error != 0 ? ProtocolReason(error) : kHandshakeFailed, error != 0 ? OpenSslReason(error) : "");
    }
    return TStatus::Failed;
}

TTlsSession::TStatus TTlsSession::Handshake() {
    ERR_clear_error();
    const int result = SSL_do_handshake(State->Ssl.get());
    if (result == 1) return TStatus::Ok;
    const TStatus status = StatusOf(result);
    if (status != TStatus::Closed) return status;
    // The server ended the session before it began.
    Fail(kHandshakeFailed, "close_notify");
    return TStatus::Failed;
}

bool TTlsSession::Established() const { return SSL_is_init_finished(State->Ssl.get()) == 1; }

int TTlsSession::Encrypt(const void* Data, int Length, TStatus& Status) {
    ERR_clear_error();
    const int result = SSL_write(State->Ssl.get(), Data, Length);
    if (result > 0) return result;
    Status = StatusOf(result);
    return 0;
}

int TTlsSession::Decrypt(void* Buffer, int Length, TStatus& Status) {
    ERR_clear_error();
    const int result = SSL_read(State->Ssl.get(), Buffer, Length);
    if (result > 0) return result;
    Status = StatusOf(result);
    return 0;
}

int TTlsSession::Outgoing(const char*& Data) {
    char* area = nullptr;
    const int count = BIO_nread0(State->Network.get(), &area);
    if (count <= 0) return 0;
    Data = area;
    return count;
}

void TTlsSession::OutgoingSent(int Count) {
    char* area = nullptr;
    BIO_nread(State->Network.get(), &area, Count);
}

int TTlsSession::IncomingRoom(char*& Area) {
    const int count = BIO_nwrite0(State->Network.get(), &Area);
    return count > 0 ? count : 0;
}

void TTlsSession::IncomingReceived(int Count) {
    char* area = nullptr;
    BIO_nwrite(State->Network.get(), &area, Count);
}

void TTlsSession::Close() {
    if (!Established()) return;
    ERR_clear_error();
    SSL_shutdown(State->Ssl.get());
    ERR_clear_error();
}

}  // namespace net
