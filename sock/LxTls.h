// TLxTls: one TLS client session over a socket of the socket-library layer. Its bytes
// go through WsRecv and WsSend, so the layer's one-shot read notices are re-armed as
// for plain reads, and no call ever blocks: a step that cannot finish says whether it
// waits for the socket to become readable or writable.
#pragma once

#include <string>

#include "platform/SysUtils.h"
#include "platform/WinSock.h"

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

// Why a TLS session could not be set up or went on no more.
enum class TTlsFailure {
  Handshake,   // the handshake failed (no common protocol, alert from the server...)
  Untrusted,   // the server's certificate does not chain to a trusted anchor
  WrongHost,   // the certificate is valid but for another host name
  Lost,        // the server closed or reset the connection during the handshake or a transfer
  Setup,       // the local set-up failed (CA file unreadable...)
};

// A TLS failure; the message names the cause.
class ETlsError : public Exception {
 public:
  ETlsError(TTlsFailure kind, std::string message) : Exception(std::move(message)), Kind(kind) {}
  TTlsFailure Kind;
};

// What a session step waits for before it can be tried again.
enum class TTlsWant { None, Read, Write };

class TLxTls {
 public:
  struct TOptions {
    std::string HostName;  // name or address literal the certificate must be for; a name is also sent as SNI
    bool VerifyCert = true;
    std::string CAFile;    // an extra trust anchor file (PEM); empty for none
  };

  // Prepares a client session on the connected socket s; nothing is sent yet.
  // Throws ETlsError (Setup) when the context or the CA file cannot be loaded.
  TLxTls(SOCKET s, const TOptions& options);
  ~TLxTls();
  TLxTls(const TLxTls&) = delete;
  TLxTls& operator=(const TLxTls&) = delete;

  // Runs the handshake as far as the socket allows. Returns None when it is complete,
  // else what to wait for before calling again.
  // Throws ETlsError: Untrusted or WrongHost for the certificate, Lost when the
  // connection closed, Handshake for every other failure.
  TTlsWant Handshake();

  // Reads up to length decrypted bytes. Returns the count, 0 when the server ended
  // the session (close_notify, or the connection closed), or -1: Want() says what to
  // wait for, or, when it says None, the layer's error number is set (WSAGetLastError).
  // Throws ETlsError (Lost) for a broken session (bad record, alert).
  int Read(char* buffer, int length);
  // Writes length bytes; returns the plain bytes taken (all of them), or -1 as Read
  // does (after a would-block, call again with the same bytes). Throws ETlsError (Lost) for a broken session.
  int Write(const char* buffer, int length);
  // What the last Handshake, Read or Write that returned early waits for.
  TTlsWant Want() const { return want_; }
  // Decrypted bytes held inside the session, ready without touching the socket.
  int Pending() const;
  // Sends close_notify if the socket takes it now; never waits, never throws.
  void Shutdown();

 private:
  // Classifies the result ret of an SSL call: sets want_ and the layer's error, or throws.
  int Fail(int ret, bool handshake);
  SOCKET socket_;
  std::string host_;
  ssl_ctx_st* ctx_ = nullptr;
  ssl_st* ssl_ = nullptr;
  TTlsWant want_ = TTlsWant::None;
  int sockError_ = 0;  // last error of the socket under the session (0: none)
  friend struct TTlsBio;
};
