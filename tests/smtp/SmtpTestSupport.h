// Shared pieces of the SMTP component tests: a component aimed at a scripted server
// with every callback writing to an event log, and the outcome of an operation as
// one comparable text (result, or exception type, reply code and message).
#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "smtp/Lxsmtp.h"
#include "support/EncodingTestSupport.h"
#include "support/ScriptServer.h"

namespace smtp_test {

// A scripted server, a component connected to nothing yet, an event log and a
// scratch folder for attachment files. Paths below the scratch folder appear in the
// log (and in outcomes) as "$DIR/name".
struct Session {
  Session();
  ScriptServer server;
  encoding_test::ScratchDir scratch;
  TLxSMTP smtp;
  std::vector<std::string> events;

  void Log(const std::string& event) { events.push_back(Relative(event)); }
  // text with the scratch folder's path replaced by "$DIR/".
  std::string Relative(std::string text) const;
  // Writes a file below the scratch folder (name: OS path, folders made as needed);
  // returns its path.
  std::string File(const std::string& name, const std::string& bytes) const;
};

inline Session::Session() {
  smtp.Host = "127.0.0.1";
  smtp.Port = server.Port();
  smtp.TimeOut = 5000;  // a missing reply ends the test instead of hanging it
  smtp.UserID = "client.example";
  smtp.OnConnect = [this](TComponent*) { Log("Connect"); };
  smtp.OnSendStart = [this](TComponent*) { Log("SendStart"); };
  smtp.OnSuccess = [this](TComponent*) { Log("Success"); };
  smtp.OnFailure = [this](TComponent*) { Log("Failure"); };
  smtp.OnRecipientNotFound = [this](const std::string& r) { Log("RecipientNotFound:" + r); };
  smtp.OnMailListReturn = [this](const std::string& m) { Log("MailListReturn:" + m); };
  smtp.OnAuthenticationFailed = [this](bool&) { Log("AuthenticationFailed"); };
  smtp.OnHeaderIncomplete = [this](bool&, int type) { Log("HeaderIncomplete:" + std::to_string(type)); };
  smtp.OnEncodeStart = [this](const std::string& f) { Log("EncodeStart:" + f); };
  smtp.OnEncodeEnd = [this](const std::string& f) { Log("EncodeEnd:" + f); };
  smtp.OnAttachmentNotFound = [this](const std::string& f) { Log("AttachmentNotFound:" + f); };
}

inline std::string Session::Relative(std::string text) const {
  const std::string& dir = scratch.Path();
  for (size_t at; (at = text.find(dir)) != std::string::npos;) text.replace(at, dir.size(), "$DIR/");
  return text;
}

inline std::string Session::File(const std::string& name, const std::string& bytes) const {
  const std::filesystem::path os = scratch.Path() + name;
  std::filesystem::create_directories(os.parent_path());
  encoding_test::WriteOsFile(os.string(), bytes);
  return scratch.Path() + name;
}

// ", protocol" etc. when an SMTP failure's kind is not the one its code gives by default
// (final for 5xx, else temporary).
inline std::string KindNote(const ESmtpError& e) {
  const TSmtpFailure usual = e.Code >= 500 ? TSmtpFailure::Final : TSmtpFailure::Temporary;
  if (e.Kind == usual) return "";
  switch (e.Kind) {
    case TSmtpFailure::Temporary: return ", temporary";
    case TSmtpFailure::Final: return ", final";
    case TSmtpFailure::Protocol: return ", protocol";
    case TSmtpFailure::FateUnknown: return ", fate unknown";
  }
  return "";
}

// op's result, or "Type(code[, kind]): message" / "Type: message" for an exception.
inline std::string Outcome(const std::function<std::string()>& op) {
  try {
    return op();
  } catch (const ERecipientsRefused& e) {
    return "ERecipientsRefused(" + std::to_string(e.Code) + KindNote(e) + "): " + e.Message();
  } catch (const ESmtpError& e) {
    return "ESmtpError(" + std::to_string(e.Code) + KindNote(e) + "): " + e.Message();
  } catch (const EAbortError& e) {
    return "EAbortError: " + e.Message();
  } catch (const ESockError& e) {
    return "ESockError: " + e.Message();
  } catch (const EFOpenError& e) {
    return "EFOpenError: " + e.Message();
  } catch (const EReplyTooLong& e) {
    return "EReplyTooLong: " + e.Message();
  } catch (const ERangeError& e) {
    return "ERangeError: " + e.Message();
  } catch (const Exception& e) {
    return "Exception: " + e.Message();
  }
}

// Control characters written visibly (\r, \n, \xNN), for readable diffs.
inline std::string Visible(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n\n";
    else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else out += static_cast<char>(c);
  }
  return out;
}

// One sender, one recipient, a subject and the mailer name; no body.
inline void Basic(TLxSMTP& smtp) {
  TPostMessage& m = smtp.PostMessage;
  m.FromName = "Sender ";
  m.FromAddress = "sender@example.org";
  m.ToAddress = {"rcpt@example.com"};
  m.Subject = "Hello";
  m.LocalProgram = "Tarvex-Test";
}

}  // namespace smtp_test
