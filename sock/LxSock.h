// TLxSocket: the TCP client component every byte to the server goes through. It
// resolves the host, connects with a time-out and a cancel request, closes and
// reopens its socket, does line and stream I/O on the connection, reports levelled
// status texts and turns socket error numbers into messages and exceptions.
// TThreadTimer is its time-out timer: ticks arrive only inside message processing.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/MessagePump.h"
#include "platform/PumpTimer.h"
#include "platform/Streams.h"
#include "platform/StringList.h"
#include "platform/SysUtils.h"
#include "platform/WinSock.h"
#include "sock/LxTls.h"

// A socket error; the message is "NUMBER:text" or one of the component's own texts.
class ESockError : public Exception { using Exception::Exception; };
// A transfer was cancelled (Abort, Cancel or the time-out).
class EAbortError : public ESockError { using ESockError::ESockError; };
// ReadLn met more than 65,536 bytes without a line feed.
class ELineTooLong : public ERangeError { using ERangeError::ERangeError; };
// An operation needs a connection and there is none ("Not Connected").
class ENotConnected : public Exception { using Exception::Exception; };

// What a trace receives: a status text (with its level), a command line sent
// (credentials masked) or a line received (with its line end).
enum class TTraceKind { Status, Sent, Received };
using TOnTrace = std::function<void(TComponent* sender, TTraceKind kind, int level, const std::string& text)>;

// The command as a trace may show it: "****" for a secret line (a credential sent
// on a line of its own); for "AUTH MECHANISM RESPONSE" the response becomes
// "****"; any other command unchanged.
std::string MaskCredentials(const std::string& command, bool secret);

// The reply number of a reply line: up to ten leading decimal digits, 0 when there
// are none or the value does not fit 32 bits. Throws ERangeError "Range check
// error" for a value outside the signed 16-bit range.
int16_t ReplyNumberOf(const std::string& line);

using THandlerEvent = std::function<void(bool& handled)>;
using TOnStatus = std::function<void(TComponent* sender, const std::string& status)>;
using TOnSocketError = std::function<void(TComponent* sender, uint16_t errorNo, const std::string& message)>;

// Notification messages of the socket window.
constexpr uint32_t WM_SOCKET_NOTICE = WM_USER + 101;  // 1125: readiness, lParam = event | error << 16
constexpr uint32_t WM_LOOKUP_DONE = WM_USER + 102;    // 1126: host lookup done, lParam = error << 16

// The socket's time-out timer: the pump timer as a component the socket owns.
class TThreadTimer : public TComponent, public TPumpTimer {
 public:
  explicit TThreadTimer(TComponent* owner = nullptr);
  ~TThreadTimer() override;

  // Always re-evaluates the platform timer. Throws Exception "No Timer" when the
  // platform refuses one.
  void SetOnTimer(TNotifyEvent handler);

  // Receives an exception that OnTimer raised during a tick (the application's global
  // handler); unset, the text goes to stderr. The tick is finished either way.
  static void SetExceptionHandler(std::function<void(const std::exception&)> handler);
};

class TLxSocket : public TComponent, private TMessageHandler {
 public:
  // Starts the socket library (first instance) and opens a socket.
  // Throws ESockError "Initializaton of windows sockets failed".
  explicit TLxSocket(TComponent* owner = nullptr);
  ~TLxSocket() override;

  // --- settings ---
  std::string Host;
  int32_t Port = 0;
  int32_t TimeOut = 0;      // milliseconds, 0 = no limit; negative is a range error at TimerOn
  // Milliseconds that sending may go without progress when TimeOut is 0: a peer that
  // stops reading must not hold the caller for ever. 0: no limit.
  int32_t SendStallLimit = 600000;
  int32_t ReportLevel = 0;  // highest status level reported through OnStatus
  std::string AlternateHost;
  uint16_t AlternatePort = 0;
  // TLS (StartTls): whether the server's certificate must chain to the system's trust
  // store (plus CAFile, a PEM file of extra anchors) and be for the host connected to.
  bool VerifyCert = true;
  std::string CAFile;
  // Milliseconds a connect attempt may stay silent before the next address is tried
  // beside it.
  int32_t AttemptDelay = 250;

  // --- callbacks (skipped when unset) ---
  TNotifyEvent OnReadReady, OnAcceptReady, OnConnect, OnDisconnect, OnHostResolved, OnConnectionFailed,
      OnPacketSent;
  TOnSocketError OnSocketError;
  THandlerEvent OnInvalidHost, OnConnectionRequired;
  TOnStatus OnStatus;
  // Sees every status text whatever ReportLevel is, every command Transaction
  // sends (through MaskCredentials) and every line ReadLn returns. Unset: nothing.
  TOnTrace OnTrace;
  // The next command Transaction sends holds a credential: its trace shows "****".
  // Transaction clears it.
  bool SecretCommand = false;

  // --- state ---
  TStringList WSAInfo;
  // The progress of SendStream: 64-bit, as an attachment may be larger than 2 GB.
  int64_t BytesSent = 0;
  int64_t BytesTotal = 0;
  bool CancelRequested = false;
  bool ShuttingDown = false;
  int32_t LastErrorNo = 0;
  std::string LastStatus;
  bool Succeeded = false;
  bool TimedOut = false;
  bool LookupDone = false;
  bool IsConnected = false;
  std::string TransactionReply;
  int16_t ReplyNumber = 0;
  uint16_t SocketHandle = 0xFFFF;  // 65,535: none
  // The addresses of the host, in the order Connect tries them: the address literal,
  // or what the lookup found (IPv6 and IPv4, in the resolver's order). OnHostResolved
  // may change the list.
  std::vector<WsAddress> RemoteAddresses;
  WsAddress RemoteAddress;  // the address connected to (family 0 while none)
  uint16_t RemotePort = 0;  // network byte order
  TThreadTimer* TimeOutTimer = nullptr;

  // --- connection (the virtual operations) ---
  // Waits for an incoming connection; returns the new handle. Throws ESockError.
  virtual uint16_t Accept();
  // Resolves and connects, waiting in the pump. The host's addresses are tried in
  // order: the next attempt starts, in parallel, when the last one failed or stayed
  // silent for AttemptDelay ms; the first to connect wins and the others are closed.
  // Throws ESockError ("Already connected",
  // "Host Lookup Timed Out", "Host Lookup Canceled", "Null Remote Address",
  // "Connection Timed out", "Connection Canceled", "Connection Failed", looked-up errors);
  // "Null Remote Address" and "Connection Failed" end with the socket error that caused
  // them (": 11001:Host not found", ": 10061:Connection refused") when there is one.
  virtual void Connect();
  // Closes the socket and opens a fresh one (RequestCloseSocket).
  virtual void Disconnect();
  // Sends the command line and reads one reply line; sets TransactionReply and
  // ReplyNumber. Throws EAbortError, ESockError, ERangeError.
  virtual std::string Transaction(const std::string& command);
  // Status "Abort", then Cancel.
  virtual void Abort();

  void Cancel();
  // Throws ENotConnected "Not Connected" unless connected (OnConnectionRequired may connect).
  void CheckConnection();
  // Fills RemoteAddresses: an address literal (dotted IPv4, IPv6 bare or in brackets)
  // at once, a name by a lookup on the worker thread, then OnHostResolved.
  // Throws ESockError "Host Lookup Timed Out" / "Host Lookup Canceled" / "Host Lookup Failed".
  void ResolveHost();
  void RequestCloseSocket();
  void InitializeWinsock();
  void HandleSocketNotice(uint32_t msg, uintptr_t wParam, intptr_t lParam);
  void TimerOn();
  void TimerOff();
  // A wait that several transfers share: the outermost BeginWait arms the time-out
  // (TimeOut; for sending, SendStallLimit when TimeOut is 0) and the ReadLn and send
  // calls inside arm none of their own, so one limit covers a whole reply of several
  // lines, or the header and body of a message. While sending, every chunk the peer
  // takes starts the limit again: it bounds a stall, not a long transfer.
  void BeginWait(bool sending);
  void EndWait();
  class TWaitScope {
   public:
    TWaitScope(TLxSocket& socket, bool sending) : socket_(socket) { socket_.BeginWait(sending); }
    ~TWaitScope() { socket_.EndWait(); }
    TWaitScope(const TWaitScope&) = delete;
    TWaitScope& operator=(const TWaitScope&) = delete;

   private:
    TLxSocket& socket_;
  };
  void TimerTriggered(TComponent* sender);

  // --- line and stream I/O ---
  // Sends length bytes (0: up to the first zero byte). Throws EAbortError
  // "Socket send aborted", ESockError, ERangeError.
  void SendBuffer(const char* bytes, uint16_t length);
  // Sends text up to its first zero byte; 65,536 bytes or more is a range error.
  void Write(const std::string& text);
  void Writeln(const std::string& text);
  // One line with its line feed (and CR before it, if sent); empty when the peer
  // closed. Throws EAbortError "Socket readln aborted", ESockError, ELineTooLong
  // for more than 65,536 bytes without a line feed.
  std::string ReadLn();
  // Sends the stream from its start in chunks, OnPacketSent after each send.
  // Throws EAbortError "Socket send aborted", ESockError.
  void SendStream(TStream& stream);
  bool DataAvailable();
  void ClearInput();

  // --- TLS ---
  // Starts TLS on the connected socket: the handshake runs in the pump under the
  // time-out, for the host connected to (AlternateHost or Host). From then on every
  // line and stream operation goes through the session, and the socket's close or
  // replacement ends it. Throws ETlsError (certificate not trusted or for another
  // host, handshake failed, connection lost), EAbortError "TLS handshake aborted"
  // on a cancel or time-out, ESockError "Not Connected" without a connection.
  void StartTls();
  // True once StartTls succeeded on the current connection.
  bool TlsActive() const { return tls_ != nullptr && tlsReady_; }

  // --- status and errors ---
  void ReportStatus(int level, const std::string& text);
  // Raises ESockError for the last error unless it is the tolerated number or <= 10,000.
  std::string CheckSocketError(uint16_t tolerated);
  std::string LookupErrorMessage(uint16_t errorNo);

  // Components that have started the socket library (process-wide).
  static int LibraryUsers();

 protected:
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  HWND SocketWindow = 0;
  char IoBuffer[65540];
  WSADATA WSAData{};

 private:
  // Pumps messages until done() holds, blocking in the pump between passes.
  template <class Done>
  void WaitFor(Done done);
  // Arms the time-out timer for ms (0: none), clearing TimedOut.
  void ArmTimer(int32_t ms);
  // Bytes went out: a wait for sending starts its limit again.
  void SendProgress();
  // After a would-block on send: waits in the pump until the socket takes bytes again,
  // a cancel or the time-out.
  void WaitWritable();
  int waitDepth_ = 0;        // open BeginWait calls
  bool waitSending_ = false; // the outermost open wait is a send
  // Opens a socket of socketFamily_ (protocol as given), checks its handle and registers it.
  void OpenSocket(int protocol);
  void CancelLookup();
  uintptr_t lookupTask_ = 0;
  std::vector<WsAddress> lookupResult_;  // written by the lookup just before its notice
  bool socketUsed_ = false;  // a connect was started on the current socket
  int socketFamily_ = WS_AF_INET;

  // A connect attempt that waits (or waited) for its outcome: its socket (65,535 once
  // closed) and address. An attempt that failed at once is not kept.
  struct TAttempt {
    uint16_t socket;
    WsAddress address;
    bool failed;
  };
  // Tries RemoteAddresses in turn (RemotePort set) under the time-out; returns when
  // one connected. Throws as Connect.
  void ConnectAttempts();
  // Starts a connect to address: on the component's socket when it is unused and of
  // the family, else on a socket of its own. Returns 0, or the error number of an
  // attempt that failed at once.
  int StartAttempt(const WsAddress& address);
  // The outcome of the attempt on socket s (FD_CONNECT): the first success becomes the
  // component's socket and connection; every other socket is closed.
  void AttemptDone(uintptr_t s, bool connected);
  // Closes the sockets of the attempts other than the component's socket.
  void CloseAttempts();
  std::vector<TAttempt> attempts_;
  bool connecting_ = false;  // ConnectAttempts is waiting
  int connectError_ = 0;     // the error of the latest attempt that failed while waited for
  int lookupError_ = 0;      // the error of the latest host lookup (0: none)

  // Receive and send on the connection, through the TLS session when there is one,
  // with the conventions of WsRecv and WsSend (bytes, 0 closed, SOCKET_ERROR with the
  // layer's error set; would-block is WSAEWOULDBLOCK).
  int SockRecv(char* buffer, int length, int flags);
  int SockSend(const char* buffer, int length);
  // After a would-block: waits in the pump until the socket is ready for what the
  // TLS session (or, without one, a send) waits for, a cancel, or the connection's end.
  void WaitReady(TTlsWant want);
  // Forgets the TLS session and its decrypted bytes (sends close_notify when asked).
  void DropTls(bool notify);
  std::unique_ptr<TLxTls> tls_;
  bool tlsReady_ = false;   // the handshake of tls_ is complete
  std::string tlsIn_;       // decrypted bytes not yet taken by a reader
  bool readNotice_ = false; // FD_READ or FD_CLOSE arrived since WaitReady began
};
