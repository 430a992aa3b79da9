// TLxSMTP, the SMTP client component, and TPostMessage, the message it carries.
// The component builds the header block and the encoded body of its message and
// carries them through the SMTP dialogue (EHLO, or HELO for a server that does not
// know it; RSET, MAIL FROM, RCPT TO, DATA, QUIT; VRFY and EXPN on request; for
// secure submission STARTTLS and AUTH) over the socket component's line and stream
// operations, reporting progress and outcomes through callbacks. What each reply
// leads to is the policy table of LxsmtpPolicy.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Streams.h"
#include "platform/StringList.h"
#include "jmail/LxUUE.h"
#include "jmail/MailParts.h"
#include "jmail/MailText.h"
#include "sock/LxExtstr.h"
#include "sock/LxSock.h"
#include "smtp/LxsmtpPolicy.h"

// Text subtype of a message without attachments.
enum TSubType { mtPlain, mtEnriched, mtSgml, mtTabSeperated, mtHtml };

using THeaderInComplete = std::function<void(bool& handled, int hiType)>;
using TRecipientNotFound = std::function<void(const std::string& recipient)>;
using TMailListReturn = std::function<void(const std::string& mailAddress)>;
using TFileItem = std::function<void(const std::string& filename)>;

// A failed step of the dialogue: the message is the server's reply (line end
// included) or a text that says what went wrong, Code the reply number (0 when the
// server sent no reply at all), Kind how the send failed (by default: Final for a
// 5xx code, else Temporary). The exit status follows from Kind alone.
class ESmtpError : public Exception {
 public:
  ESmtpError(std::string message, int code)
      : ESmtpError(std::move(message), code, code >= 500 ? TSmtpFailure::Final : TSmtpFailure::Temporary) {}
  ESmtpError(std::string message, int code, TSmtpFailure kind) : Exception(std::move(message)), Code(code), Kind(kind) {}
  int Code;
  TSmtpFailure Kind;
};

// The server refused every recipient of a send (no DATA is sent then). Code classes
// the failure by what the recipients were told: a temporary refusal (4xx) of any of
// them makes it the first such code (a later try may pass), else the first final one.
class ERecipientsRefused : public ESmtpError {
 public:
  ERecipientsRefused(std::string message, int code) : ESmtpError(std::move(message), code) {}
};

// A reply beyond the bounds the component reads (65,536 bytes in one line, 1,000
// lines or 1 MiB in one reply). The message names the step whose reply it was.
class EReplyTooLong : public Exception { using Exception::Exception; };

// The server does not offer an extension the settings require (STARTTLS, AUTH).
class ESmtpUnsupported : public ESmtpError {
 public:
  explicit ESmtpUnsupported(std::string message) : ESmtpError(std::move(message), 0, TSmtpFailure::Final) {}
};

// What the server's answer to EHLO offers (nothing after HELO). The steps ask it
// instead of searching the reply.
struct TSmtpCapabilities {
  bool Size = false;
  uint64_t SizeLimit = 0;  // the largest message in octets; 0: no limit announced
  bool Pipelining = false, EightBitMime = false, SmtpUtf8 = false, Dsn = false, EnhancedStatusCodes = false,
       StartTls = false;
  std::vector<std::string> AuthMechanisms;  // in upper case, as offered
  bool OffersAuth(const std::string& mechanism) const;
  // The capabilities of an EHLO reply (every line with its line end); the first line
  // greets, each further one names an extension and its parameters. Both "AUTH x" and
  // the older "AUTH=x" count.
  static TSmtpCapabilities Parse(const std::string& reply);
};

// How the connection is protected: ssNone is the plain dialogue (EHLO with UserID);
// ssStartTls: EHLO, STARTTLS (required), EHLO again; ssTls: TLS from the first byte,
// then EHLO.
enum TSmtpSecurity { ssNone, ssStartTls, ssTls };
// AUTH, always inside TLS. saAuto: the password with the first of PLAIN and LOGIN the
// server offers; saPlain, saLogin: the password with that mechanism; saXOAuth2,
// saOAuthBearer: Password holds an OAuth 2.0 access token, sent with that mechanism.
enum TSmtpAuth { saNone, saAuto, saPlain, saLogin, saXOAuth2, saOAuthBearer };

// The outgoing message. The five lists are the message's own: assigning a list
// copies its lines.
class TPostMessage {
 public:
  std::string FromName;
  std::string FromAddress;
  std::string Subject;
  std::string LocalProgram;
  std::string Date;
  std::string ReplyTo;
  TStringList Attachments;
  TStringList ToAddress;
  TStringList ToCarbonCopy;
  TStringList ToBlindCarbonCopy;
  TStringList Body;
  // Body entries that stand for a file's base64 lines, in entry order: BuildMessage
  // leaves the text out of BodyStream and the send reads and encodes the file as it
  // goes (see BodySize, WriteBody).
  std::vector<TBodyFile> BodyFiles;
  // The body entry that stands for the message's text (BodyText.Entry; -1: none):
  // the text's lines are encoded as the body is sent or written, never held
  // converted (see BodySize, WriteBody). Its Lines stay the caller's.
  TBodyText BodyText;
};

// A recipient the server refused during the last send: the entry as stored, the
// reply number and the reply on one line (as ReplyLine gives it).
struct TRefusal {
  std::string Recipient;
  std::string Address;  // the envelope address sent in RCPT TO (a UTF-8 mailbox name in CP932)
  int Code = 0;
  std::string Reply;
};

// A recipient of the last send with the reply to its RCPT TO (accepted or not).
using TRecipientReply = TRefusal;

// Starts the boundary generator again from 0, as at program start (for tests).
void ResetBoundarySequence();

class TLxSMTP : public TLxSocket {
 public:
  explicit TLxSMTP(TComponent* owner = nullptr);
  ~TLxSMTP() override;

  // --- settings ---
  std::string Charset = "us-ascii";
  std::string UserID;  // the EHLO or HELO argument without Security; with AUTH, the login
  // Without Security, false greets with HELO instead of EHLO, for a server that needs
  // the old greeting (no extension is used then: no SIZE, no DSN). A server that
  // answers EHLO with 500, 501 or 502 is greeted with HELO in every case.
  bool UseEhlo = true;
  // Delivery status notifications, asked for only when the server offers DSN.
  // DsnNotify goes with every RCPT TO: empty (the server's default), "NEVER", or a
  // comma list of SUCCESS, FAILURE and DELAY. DsnReturn goes with MAIL FROM: empty,
  // "HDRS" or "FULL". With either set, MAIL FROM also carries the message's Message-ID
  // as the envelope identifier.
  std::string DsnNotify, DsnReturn;
  TSmtpSecurity Security = ssNone;
  TSmtpAuth Auth = saNone;
  std::string Password;  // the password or access token, sent (with AUTH) only inside TLS
  std::string EhloName;  // the EHLO argument; empty: this machine's fully qualified name
  TSubType SubType = mtPlain;
  UUMethods EncodeType = uuMime;
  bool ClearParams = true;
  // false: BuildMessage hands the Body lines over to BodyStream, freeing each once
  // it is written, and leaves Body, BodyFiles and BodyText empty (for a caller that
  // builds them anew for every send and whose body may be large). true: they stay
  // as they were.
  bool KeepBody = true;

  // --- the message and its products ---
  TPostMessage PostMessage;
  TExStringList FinalHeader;  // header lines of the message being sent
  // Encoded body, every line ending in CR LF; the text of PostMessage.BodyFiles and
  // PostMessage.BodyText is not in it but read from the files, or encoded from the
  // lines, while the body is sent or written.
  TMemoryStream BodyStream;
  std::string Boundary;       // multipart boundary of the last message with attachments
  bool Busy = false;
  // The extension lines of the last EHLO reply ("STARTTLS", "AUTH PLAIN LOGIN", ...),
  // and what they offer.
  TStringList Extensions;
  TSmtpCapabilities Capabilities;
  // The last whole reply read (every line with its line end); ReplyNumber is its
  // last line's number.
  std::string LastReply;
  // The recipients refused by the last SendMail, in the order they were sent.
  std::vector<TRefusal> Refusals;
  // The recipients of the last SendMail whose RCPT TO was answered for good
  // (accepted or refused), with that reply, in the order of the answers; one the
  // server deferred and never took is only among the Refusals.
  std::vector<TRecipientReply> RecipientReplies;
  // When set, the body's bytes also go here as the next data transfer sends them
  // (dot-stuffed, CR LF, as on the wire), once: the transfer clears it. Its writes
  // must not throw unless the send is to stop.
  TStream* BodyCopy = nullptr;
  // The final "." of the message went out and its reply has not come (yet): a send
  // ended now may or may not have been accepted.
  bool FinalDotPending = false;

  // Bounds of one reply: more fails the step with EReplyTooLong.
  static constexpr size_t kMaxReplyLine = 65536;
  static constexpr size_t kMaxReplyLines = 1000;
  static constexpr size_t kMaxReplyBytes = 1 << 20;

  // --- callbacks (skipped when unset) ---
  TNotifyEvent OnConnect;  // greeting and HELO succeeded (hides the socket's own)
  THeaderInComplete OnHeaderIncomplete;
  TNotifyEvent OnSendStart, OnSuccess, OnFailure;
  TFileItem OnEncodeStart, OnEncodeEnd, OnAttachmentNotFound;
  TRecipientNotFound OnRecipientNotFound;
  TMailListReturn OnMailListReturn;
  THandlerEvent OnAuthenticationFailed;
  // The message is built, rewritten by OnSendStart and checked; fired before the
  // first command of the send. HeaderBlock() and BodyStream hold what will follow DATA.
  TNotifyEvent OnDataReady;

  // Opens the connection, reads the greeting and sends EHLO (HELO after 500, 501 or
  // 502, or with UseEhlo false; twice at most, when OnAuthenticationFailed asks for a
  // retry after a 5xx); fires OnConnect on success. With Security set: TLS (from the
  // start, or after EHLO and STARTTLS), EHLO, and with Auth set, AUTH.
  // Throws the socket errors of TLxSocket::Connect, ESmtpError with the failed reply
  // as the policy judges it (the greeting, a 4xx to EHLO or HELO), ESmtpError
  // "Authentication failed" (Final) for a 5xx to the greeting's EHLO or HELO; with
  // Security: ETlsError and EAbortError of StartTls, ESmtpError with the refused
  // STARTTLS or AUTH reply ("Authentication failed" for 535, also when the server
  // asks for more lines than the mechanism has),
  // ESmtpUnsupported when STARTTLS or the AUTH mechanism is not offered, Exception
  // when Auth is set without Security (nothing is sent then).
  void Connect() override;
  // Sends QUIT and closes the socket, also when QUIT fails.
  // Throws ESmtpError with the reply when the server refuses QUIT (4xx, 5xx) or its
  // lines carry different codes; nothing when it has closed already.
  void Disconnect() override;
  void Abort() override;

  // Builds and sends the message of PostMessage; returns at once when Busy.
  // Recipients the server has no room for (452) go in further transactions, so that
  // each gets the message once; Refusals holds those refused for themselves.
  // Throws Exception "Incomplete Header", ENotConnected, ESmtpError as the policy
  // judges the failed reply (FateUnknown when the final "." was sent and its answer
  // is missing or makes no sense), ERecipientsRefused (before DATA) when no recipient
  // was accepted, ESmtpError (Final) naming both sizes when the message is larger
  // than the server's SIZE limit (before anything of the send is written),
  // Exception for a CR, LF or NUL in an address or header line (nothing of the send
  // is written then), socket errors, file errors of attachments.
  void SendMail();
  // VRFY: true when the reply number is 251 or less. Throws like SendMail.
  bool Verify(const std::string& address);
  // EXPN: true for a reply below 400, after OnMailListReturn with the first reply line.
  // Returns false at once when Busy.
  bool ExpandList(const std::string& name);

  // Checks what goes into commands and the header: the sender and recipient
  // addresses must hold no CR, LF or NUL; a header line may hold folds (CR LF and
  // a blank or tab, followed by more than blanks) but no other CR, LF or NUL.
  // Throws Exception naming the refused text.
  void CheckMessage() const;
  // What SendMail writes after DATA before the body: the header lines, each with
  // CR LF, and two more CR LF. BodyStream (dot-stuffed as BuildMessage made it)
  // follows it, then the final ".".
  std::string HeaderBlock() const { return FinalHeader.Text() + "\r\n\r\n"; }
  // The octets of the message as built: HeaderBlock and the body.
  uint64_t MessageSize() const;
  // The octets of the body as built: BodyStream, the encoded text of its files and
  // of its text (counted by encoding it once, the number kept).
  uint64_t BodySize() const;
  // Writes the body as built (what SendMail sends between the header block and the
  // final ".") to dest a chunk at a time. Throws the stream errors of dest and of
  // reading the files.
  void WriteBody(TStream& dest);
  // The parameters MAIL FROM carries after the address (" SIZE=n RET=x ENVID=y"), as
  // the server's capabilities allow; empty when none.
  std::string MailParameters() const;
  // The parameters RCPT TO carries after the address (" NOTIFY=x"), or empty.
  std::string RecipientParameters() const;
  // Rebuilds FinalHeader, Boundary and BodyStream from PostMessage, and opens the
  // files of PostMessage.BodyFiles. Throws the file errors of WriteAttachmentPart,
  // EFOpenError for a body file that cannot be opened.
  void BuildMessage();
  // Appends the MIME part of attachment number index (from 1) to BodyStream.
  // Throws EFOpenError when the file cannot be opened (after OnAttachmentNotFound).
  void WriteAttachmentPart(int index);
  // Reads continuation lines until line holds the last line of the reply (within
  // the reply bounds; throws EReplyTooLong beyond them).
  void ReadRestOfReply(std::string& line);
  // A whole reply on one line: the last line's reply number, then the text of every
  // line after its number and separator, joined by blanks ("550 5.1.1 no such user").
  static std::string ReplyLine(const std::string& reply);
  // The envelope address of a recipient entry ("Name <a@b>" -> "a@b", "x:a@b" -> "a@b",
  // "\"Sato, Jiro\" < s@x >" -> "s@x"): BareAddress.
  static std::string ExtractAddress(const std::string& entry);
  // An entry's address as the envelope carries it: ExtractAddress, the domain as
  // A-labels, a non-ASCII local part in UTF-8 (only SMTPUTF8 takes it).
  // Throws EAddressDomainError when the domain cannot be converted.
  static std::string EnvelopeAddress(const std::string& entry);
  // The envelope command verb + "<" + address + ">" + parameters ("MAIL FROM:",
  // "RCPT TO:"). Throws Exception when the command would carry a non-ASCII byte
  // while the server has not offered SMTPUTF8: the envelope is ASCII otherwise.
  std::string EnvelopeCommand(const char* verb, const std::string& address, const std::string& parameters) const;
  // Empties the recipient lists and the attachment list of PostMessage.
  void ClearRecipients();

 private:
  // A file's encoded text and the offset in BodyStream where it goes.
  struct TBodyInsert {
    int64_t Offset;
    std::unique_ptr<TStream> Text;
  };
  std::vector<TBodyInsert> bodyInserts_;
  // The body as BodyStream with the inserts in their places, read from the start.
  class TBodyReader;
  // Sends the body (SendStream of it).
  void SendBody();
  // Sends command (none when empty: the greeting) and reads the whole reply under one
  // time-out; sets LastReply and ReplyNumber from it. Returns the reply, empty when
  // the server closed before it ended. Throws EReplyTooLong naming step, the socket
  // errors of Transaction and ReadLn.
  std::string Exchange(const std::string& command, const char* step);
  // Reads the lines after first up to the reply's last line (see Exchange).
  std::string ReadReply(const std::string& first, const char* step);
  // Exchange at step; returns what the policy says of the reply (kept in reply).
  TSmtpAction Ask(const std::string& command, TSmtpStep step, std::string& reply);
  // Ask, and anything but GoOn throws (Fail). Returns the reply.
  std::string Command(const std::string& line, TSmtpStep step);
  // Throws the ESmtpError of action for reply at step (an action that is no
  // failure where it came counts as a protocol error).
  [[noreturn]] void Fail(TSmtpStep step, TSmtpAction action, const std::string& reply) const;
  // The plain greeting: EHLO (or HELO) with UserID, retried once through
  // OnAuthenticationFailed after a 5xx.
  void PlainHello();
  // One transaction of SendMail: RSET, MAIL FROM, RCPT TO for each of recipients
  // (entry and envelope address) and the data. Recipients the server has no room
  // for are left in deferred. Returns false when no recipient was accepted (no DATA
  // was sent then).
  bool MailTransaction(const std::vector<std::pair<std::string, std::string>>& recipients, const std::string& headerBlock,
                       std::vector<std::pair<std::string, std::string>>& deferred);
  // After the data transfer failed: the reply the server sent early (a refusal
  // before it stopped reading), or empty when none is waiting.
  std::string EarlyReply();
  // The secure dialogue after the greeting: EHLO, STARTTLS and EHLO again (ssStartTls),
  // AUTH (Auth other than saNone). startTls runs the handshake (and closes the connection when it fails).
  void SecureHello(const std::function<void()>& startTls);
  // Sends EHLO with name (HELO after 500, 501 or 502, or with UseEhlo false) and keeps
  // the extension lines and capabilities. Returns the action of the last reply
  // (GoOn, or FailFinally for a 5xx: the caller decides); throws other failures.
  TSmtpAction Ehlo(const std::string& name, std::string& reply);
  // AUTH with UserID and Password by the mechanism Auth names (saAuto: PLAIN, else
  // LOGIN). Throws ESmtpError ("Authentication failed" for 535), ESmtpUnsupported
  // when the server does not offer the mechanism.
  void Authenticate();
};
