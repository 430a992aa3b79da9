#include "sock/LxTls.h"

#include "platform/FileUtil.h"
#include "sock/OpenSsl.h"  // last: it renames the OpenSSL functions

namespace {

// The text of the oldest queued OpenSSL error (the queue is emptied), or fallback.
std::string TakeErrorText(const char* fallback) {
  unsigned long code = ERR_get_error();
  std::string text = fallback;
  if (code != 0) {
    const char* reason = ERR_reason_error_string(code);
    text = reason ? reason : ERR_error_string(code, nullptr);
  }
  ERR_clear_error();
  return text;
}

// True when the oldest queued error says the connection ended in the middle of a record.
bool QueuedUnexpectedEof() {
  unsigned long code = ERR_peek_error();
  return code != 0 && ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

std::string SocketErrorText(int error) {
  const char* text = WsErrorText(error);
  return std::to_string(error) + ":" + (text ? text : "Unknown Error");
}

}  // namespace

// The BIO under every session: reads and writes the layer's socket, turning its
// would-block into OpenSSL's retry flags.
struct TTlsBio {
  static TLxTls* Session(BIO* b) { return static_cast<TLxTls*>(BIO_get_data(b)); }

  static int Write(BIO* b, const char* data, int length) {
    BIO_clear_retry_flags(b);
    TLxTls* tls = Session(b);
    int n = WsSend(tls->socket_, data, length, 0);
    if (n >= 0) return n;
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
      BIO_set_retry_write(b);
    } else {
      tls->sockError_ = WSAGetLastError();
    }
    return -1;
  }

  static int Read(BIO* b, char* data, int length) {
    BIO_clear_retry_flags(b);
    TLxTls* tls = Session(b);
    // WsRecv also re-arms the layer's read notice, which the wait after a would-block needs.
    int n = WsRecv(tls->socket_, data, length, 0);
    if (n >= 0) return n;
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
      BIO_set_retry_read(b);
    } else {
      tls->sockError_ = WSAGetLastError();
    }
    return -1;
  }

  static long Ctrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

  static int Create(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
  }

  static const BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarvex socket");
      BIO_meth_set_write(m, Write);
      BIO_meth_set_read(m, Read);
      BIO_meth_set_ctrl(m, Ctrl);
      BIO_meth_set_create(m, Create);
      return m;
    }();
    return method;
  }
};

TLxTls::TLxTls(SOCKET s, const TOptions& options) : socket_(s), host_(options.HostName) {
  ERR_clear_error();
  auto setupError = [this](const std::string& what) {
    std::string text = what + ": " + TakeErrorText("unknown error");
    if (ssl_) SSL_free(ssl_);
    if (ctx_) SSL_CTX_free(ctx_);
    ssl_ = nullptr;
    ctx_ = nullptr;
    return ETlsError(TTlsFailure::Setup, text);
  };
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (!ctx_) throw setupError("TLS set-up failed");
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  // A server that closes without close_notify ends the session like one that sends
  // it: the SMTP dialogue has its own end, so a cut cannot pass for a complete reply.
  SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Write takes a whole chunk (several records) per call, which halves the calls per
  // byte against one record per call; a retry after a would-block may come from the
  // same bytes at another address.
  SSL_CTX_set_mode(ctx_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // An address literal (dotted IPv4, IPv6 bare or in brackets) is checked against the
  // certificate's IP addresses and never sent as a server name.
  WsAddress literal;
  const bool dotted = WsParseAddress(host_, &literal);
  if (dotted) literal.scope = 0;
  const std::string ipText = dotted ? WsAddressText(literal) : std::string();
  if (options.VerifyCert) {
    SSL_CTX_set_default_verify_paths(ctx_);
    if (!options.CAFile.empty() &&
        SSL_CTX_load_verify_locations(ctx_, ToOsPath(options.CAFile).c_str(), nullptr) != 1)
      throw setupError("CA file cannot be loaded (" + options.CAFile + ")");
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  }
  ssl_ = SSL_new(ctx_);
  if (!ssl_) throw setupError("TLS set-up failed");
  BIO* bio = BIO_new(TTlsBio::Method());
  if (!bio) throw setupError("TLS set-up failed");
  BIO_set_data(bio, this);
  SSL_set_bio(ssl_, bio, bio);
  if (!dotted && !host_.empty()) SSL_set_tlsext_host_name(ssl_, host_.c_str());
  if (options.VerifyCert) {
    int ok = dotted ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), ipText.c_str()) : SSL_set1_host(ssl_, host_.c_str());
    if (ok != 1) throw setupError("TLS host name not usable (" + host_ + ")");
  }
  SSL_set_connect_state(ssl_);
}

TLxTls::~TLxTls() {
  SSL_free(ssl_);  // frees the BIO too
  SSL_CTX_free(ctx_);
}

int TLxTls::Pending() const { return SSL_pending(ssl_); }

void TLxTls::Shutdown() {
  if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
  ERR_clear_error();
}

int TLxTls::Fail(int ret, bool handshake) {
  const int e = SSL_get_error(ssl_, ret);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
    want_ = e == SSL_ERROR_WANT_READ ? TTlsWant::Read : TTlsWant::Write;
    ERR_clear_error();
    WSASetLastError(WSAEWOULDBLOCK);
    return -1;
  }
  if (handshake) {
    const long verify = SSL_get_verify_result(ssl_);
    if (SSL_get_verify_mode(ssl_) != SSL_VERIFY_NONE && verify != X509_V_OK) {
      ERR_clear_error();
      if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
        throw ETlsError(TTlsFailure::WrongHost, "Server certificate is for another host, not " + host_);
      throw ETlsError(TTlsFailure::Untrusted,
                      std::string("Server certificate not trusted: ") + X509_verify_cert_error_string(verify));
    }
    if (sockError_ != 0) {
      ERR_clear_error();
      throw ETlsError(TTlsFailure::Lost, "TLS handshake failed: " + SocketErrorText(sockError_));
    }
    if (e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN || QueuedUnexpectedEof()) {
      ERR_clear_error();
      throw ETlsError(TTlsFailure::Lost, "TLS handshake failed: the server closed the connection");
    }
    throw ETlsError(TTlsFailure::Handshake, "TLS handshake failed: " + TakeErrorText("protocol error"));
  }
  if (e == SSL_ERROR_ZERO_RETURN) {
    ERR_clear_error();
    return 0;
  }
  if (sockError_ != 0) {
    // A reset or another socket error: reported by the caller as for a plain socket.
    ERR_clear_error();
    WSASetLastError(sockError_);
    return -1;
  }
  if (e == SSL_ERROR_SYSCALL || QueuedUnexpectedEof()) {
    ERR_clear_error();
    return 0;  // the connection closed
  }
  throw ETlsError(TTlsFailure::Lost, "TLS session failed: " + TakeErrorText("protocol error"));
}

TTlsWant TLxTls::Handshake() {
  ERR_clear_error();
  want_ = TTlsWant::None;
  sockError_ = 0;
  const int r = SSL_connect(ssl_);
  if (r == 1) return TTlsWant::None;
  Fail(r, true);
  return want_;
}

int TLxTls::Read(char* buffer, int length) {
  ERR_clear_error();
  want_ = TTlsWant::None;
  sockError_ = 0;
  const int r = SSL_read(ssl_, buffer, length);
  if (r > 0) return r;
  return Fail(r, false);
}

int TLxTls::Write(const char* buffer, int length) {
  if (length <= 0) return 0;
  ERR_clear_error();
  want_ = TTlsWant::None;
  sockError_ = 0;
  const int r = SSL_write(ssl_, buffer, length);
  if (r > 0) return r;
  const int n = Fail(r, false);
  if (n == 0) {
    // The server ended the session: nothing more can be written.
    WSASetLastError(WSAENOTCONN);
    return -1;
  }
  return n;
}
