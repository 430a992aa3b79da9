// The form's commands against a scripted SMTP peer, with dialogs answered by a
// script: connecting and disconnecting, a dropped connection, an invalid host,
// verify and list expansion, refused recipients, progress and failed sends.
#include <gtest/gtest.h>

#include <functional>

#include "app/AppFixture.h"
#include "app/Version.h"
#include "app/Unit1.h"
#include "support/ScriptedDialogs.h"
#include "platform/SysUtils.h"
#include "support/ScriptServer.h"

namespace {

class Commands : public ::testing::Test {
 protected:
  Commands() : guard_(&dialogs) {
    Application().Reset();
    form.Server = "127.0.0.1";
    form.Port = IntToStr(server.Port());
    form.UserName = "client";
  }
  // The peer's greeting and its answer to EHLO.
  void Greet() { server.Send("220 ready\r\n").Reply("250 hello\r\n"); }
  // The peer accepts one message: RSET, MAIL FROM, the RCPT replies given, DATA,
  // the data, then QUIT.
  void AcceptMessage(const std::vector<std::string>& rcptReplies) {
    server.Reply("250 ok\r\n").Reply("250 ok\r\n");
    for (const auto& r : rcptReplies) server.Reply(r);
    server.Reply("354 go\r\n").ReadUntil("\r\n.\r\n").Send("250 queued\r\n").Reply("221 bye\r\n");
  }
  // Fills the mail fields for one message.
  void FillMail(const std::string& to) {
    form.To = to;
    form.Subject = "s";
    form.SenderAddress = "me@x.jp";
    form.Body.Add("body");
  }
  // Waits until the pump has handled what the peer did (a close, say).
  void PumpUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) {
      TMessagePump::Instance().WaitMessage(10);
      TMessagePump::Instance().ProcessMessages();
    }
  }

  TScriptedDialogs dialogs;
  TDialogsGuard guard_;
  ScriptServer server;
  TForm1 form;
};

TEST_F(Commands, ConnectTwiceConnectsOnceAndDisconnectWithoutConnectionDoesNothing) {
  form.DisconnectClick();  // nothing to disconnect: no command, no box
  Greet();
  server.Reply("221 bye\r\n");
  form.ConnectClick();
  form.ConnectClick();
  EXPECT_TRUE(form.Connected);
  EXPECT_EQ(form.StatusText, "Connected");
  form.DisconnectClick();
  EXPECT_FALSE(form.Connected);
  ASSERT_TRUE(server.WaitDone());
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"EHLO client", "QUIT"}));
  EXPECT_TRUE(dialogs.calls.empty());
}

TEST_F(Commands, AttemptsThatNeverReachTheServer) {
  struct Case {
    std::string port, host;
    bool convertError;  // else a socket error
  } cases[] = {
      {"abc", "127.0.0.1", true},                            // no connection is tried
      {IntToStr(server.Port()), "no-such-host.invalid", false},  // the new-host box is cancelled
  };
  for (const auto& c : cases) {
    form.Port = c.port;
    form.Server = c.host;
    if (c.convertError)
      EXPECT_THROW(form.ConnectClick(), EConvertError) << c.host;
    else
      EXPECT_THROW(form.ConnectClick(), ESockError) << c.host;
    EXPECT_FALSE(form.Connected);
  }
  EXPECT_EQ(server.Connections(), 0);
}

TEST_F(Commands, AfterTheServerDroppedTheConnectionASendAsksForOne) {
  Greet();
  server.Close();
  form.ConnectClick();
  PumpUntil([&] { return form.StatusText == "Disconnected"; });
  EXPECT_EQ(form.StatusText, "Disconnected");
  EXPECT_TRUE(form.Connected);  // the form's own record stays
  FillMail("a@x.jp");
  dialogs.confirmAnswers = {false};
  try {
    form.SendClick();
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Not Connected");
  }
  ASSERT_EQ(dialogs.calls.size(), 1u);
  EXPECT_EQ(dialogs.calls[0].kind, "confirm");
  EXPECT_EQ(dialogs.calls[0].text, "Connection Required. Connect?");
  EXPECT_EQ(form.To, "a@x.jp");  // the form keeps the message
  EXPECT_FALSE(form.Connected);   // the send always ends disconnected
}

TEST_F(Commands, InvalidHostAsksOnceForANewOne) {
  form.Server = "no-such-host.invalid";
  dialogs.inputAnswers = {{true, "127.0.0.1"}};
  Greet();
  form.ConnectClick();
  EXPECT_TRUE(form.Connected);
  ASSERT_EQ(dialogs.calls.size(), 1u);
  EXPECT_EQ(dialogs.calls[0].kind, "input");
  EXPECT_EQ(dialogs.calls[0].extra, "Invalid Host!");
  EXPECT_EQ(dialogs.calls[0].text, "Specify a new host:");
}

TEST_F(Commands, VerifyAndExpandListReportWhatTheServerSaid) {
  Greet();
  server.Reply("250 client <client@x.jp>\r\n")
      .Reply("550 unknown\r\n")
      .Reply("250-first <a@x.jp>\r\n250 last <b@x.jp>\r\n")
      .Reply("250 only <c@x.jp>\r\n");
  form.ConnectClick();
  form.VerifyClick();
  form.UserName = "";
  form.VerifyClick();  // an empty address is asked about as it is
  form.ListToExpand = "team";
  form.ExpandListClick();
  form.ListToExpand = "other";
  form.ExpandListClick();
  EXPECT_EQ(dialogs.Messages(), (std::vector<std::string>{"client verified", " not verified"}));
  EXPECT_EQ(form.ListMembers.Lines(), (std::vector<std::string>{"250-first <a@x.jp>", "250 only <c@x.jp>"}));
  ASSERT_TRUE(server.WaitDone());
  EXPECT_EQ(server.Commands(),
            (std::vector<std::string>{"EHLO client", "VRFY client", "VRFY ", "EXPN team", "EXPN other"}));
}

TEST_F(Commands, RefusedRecipientIsShownAsItStoodInTheField) {
  FillMail("a@x.jp, b@x.jp");
  Greet();
  AcceptMessage({"250 ok\r\n", "550 no such user\r\n"});
  form.SendClick();
  EXPECT_EQ(dialogs.Messages(), std::vector<std::string>{"Recipient \" b@x.jp\" not found"});
  EXPECT_EQ(form.Refused, "b@x.jp 550 no such user");
  EXPECT_TRUE(form.MailAccepted);
  EXPECT_EQ(form.StatusText, "Disconnected");
  EXPECT_EQ(form.To, "");  // cleared after the send
  EXPECT_FALSE(form.Connected);
}

TEST_F(Commands, ProgressText) {
  form.Smtp->BytesSent = 512;
  form.Smtp->BytesTotal = 1000;
  form.OnSmtpPacketSent();
  EXPECT_EQ(form.StatusText, "512 bytes of 1000 sent");
}

// A failed send keeps the form; the repeat starts from the form's fields, so each
// address goes to the server once per send, never twice. Neither send leaves its
// built message behind in the component.
TEST_F(Commands, FailedSendKeepsTheFormAndARepeatSendsEachAddressOnce) {
  const auto messageKept = [this] {
    return form.Smtp->BodyStream.Size() + form.Smtp->PostMessage.Body.Count();
  };
  FillMail("a@x.jp");
  Greet();
  server.Reply("250 ok\r\n").Reply("250 ok\r\n").Reply("250 ok\r\n").Reply("451 try later\r\n").Reply("221 bye\r\n");
  try {
    form.SendClick();
    FAIL() << "no error";
  } catch (const ESmtpError& e) {
    EXPECT_EQ(e.Message(), "451 try later\r\n");
    EXPECT_EQ(ExitStatusOf(e), esTempFail);
  }
  EXPECT_EQ(form.To, "a@x.jp");
  EXPECT_FALSE(form.Connected);
  EXPECT_EQ(messageKept(), 0);
  server.Accept();
  Greet();
  AcceptMessage({"250 ok\r\n"});
  form.SendClick();
  ASSERT_TRUE(server.WaitDone());
  std::vector<std::string> rcpts;
  for (const auto& c : server.Commands())
    if (c.rfind("RCPT", 0) == 0) rcpts.push_back(c);
  EXPECT_EQ(rcpts, (std::vector<std::string>{"RCPT TO:<a@x.jp>", "RCPT TO:<a@x.jp>"}));
  EXPECT_NE(server.Received().find("To: a@x.jp\r\n"), std::string::npos);
  EXPECT_EQ(form.StatusText, "Disconnected");
  EXPECT_EQ(messageKept(), 0);
}

// What stops a send before anything reaches the server: a required field of blanks
// (the missing-field text), an address too long for a header line (exit 65, the field
// named), a port outside 1..65535 and a VerifyCert that names nothing (exit 78).
TEST_F(Commands, RefusedBeforeAnythingIsSent) {
  struct Case {
    const char* name;
    std::function<void(TForm1&)> change;
    int status;  // esOk: the missing-field box instead of an error
    std::string text;
  } cases[] = {
      {"blank To", [](TForm1& f) { f.To = "   "; }, esOk, TForm1::MissingFieldText()},
      {"blank sender", [](TForm1& f) { f.SenderAddress = " \t "; }, esOk, TForm1::MissingFieldText()},
      {"overlong CC", [](TForm1& f) { f.Cc = "ok@x.jp," + std::string(1500, 'c') + "@x.jp"; }, esDataError,
       "The CC address is too long"},
      {"port out of range", [](TForm1& f) { f.Port = "68188"; }, esConfig, "Unknown [SMTP] Port value \"68188\""},
      {"port zero", [](TForm1& f) { f.Port = "0"; }, esConfig, "Unknown [SMTP] Port value \"0\""},
      {"VerifyCert names nothing", [](TForm1& f) { f.SettingsError = "Unknown [SMTP] VerifyCert value \"maybe\""; },
       esConfig, "VerifyCert value \"maybe\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FillMail("a@x.jp");
    c.change(form);
    dialogs.calls.clear();
    try {
      form.SendClick();
      EXPECT_EQ(c.status, esOk);
      EXPECT_EQ(dialogs.Messages(), std::vector<std::string>{c.text});
    } catch (const std::exception& e) {
      EXPECT_EQ(ExitStatusOf(e), c.status);
      EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
    }
    form.SettingsError.clear();
    form.Port = IntToStr(server.Port());
    form.Cc.clear();
    form.Body.Clear();
  }
  EXPECT_EQ(server.Connections(), 0);
}

TEST_F(Commands, HeaderGoesOutRewritten) {
  FillMail("a@x.jp");
  form.DisplayName = Utf8ToCp932("田中  太郎 ");
  form.Subject = Utf8ToCp932("会議");
  Greet();
  AcceptMessage({"250 ok\r\n"});
  form.SendClick();
  ASSERT_TRUE(server.WaitDone());
  const std::string got = server.Received();
  const std::string header = got.substr(got.find("DATA\r\n") + 6);
  // The blank between the two names goes inside one encoded word, so readers keep it.
  EXPECT_EQ(header.rfind("From: =?ISO-2022-JP?B?GyRCRURDZhsoQiAbJEJCQE86GyhC?= <me@x.jp>\r\n"
                         "To: a@x.jp\r\nSubject: =?ISO-2022-JP?B?GyRCMnE1RBsoQg==?=\r\nX-Mailer: Tarvex(Ver" TARVEX_VERSION ")\r\n"
                         "Date: ",
                         0),
            0u)
      << header;
  EXPECT_NE(header.find("Mime-Version: 1.0\r\nContent-Type: text/plain; charset=iso-2022-jp\r\nMessage-ID: <"),
            std::string::npos);
}

TEST_F(Commands, ButtonsWithoutTheNetwork) {
  dialogs.fileAnswers = {{true, "/tmp/a.pdf"}, {false, ""}};
  form.AddAttachmentsClick();
  form.AddAttachmentsClick();  // cancelled: nothing added
  EXPECT_EQ(form.Attachments.Lines(), std::vector<std::string>{"/tmp/a.pdf"});
  form.RemoveAttachmentClick();  // no selection: nothing removed
  EXPECT_EQ(form.Attachments.Count(), 1);
  form.SelectedAttachment = 0;
  form.RemoveAttachmentClick();
  EXPECT_EQ(form.Attachments.Count(), 0);
  form.RunMacroClick();  // the macro chooser, cancelled: nothing runs
  EXPECT_EQ(dialogs.calls.back().extra, Utf8ToCp932("ﾃｷｽﾄﾌｧｲﾙ(*.txt)|*.txt"));
  form.To = "x";
  form.ClearClick();
  EXPECT_EQ(form.To, "");
  form.HomePageClick();
  form.MailLinkClick();
  EXPECT_EQ(dialogs.calls[dialogs.calls.size() - 2].text, form.Links->HomePageAddress);
  EXPECT_EQ(dialogs.calls.back().text, "mailto:" + form.Links->MailAddress);
}

// Closing the form while a command waits for a server that never answers ends
// the wait at once, and the command then closes the socket without a QUIT that
// would wait for ever.
TEST_F(Commands, ClosingDuringAWaitNeverWaitsForTheServersGoodbye) {
  apptest::TempDir dir;
  ::setenv("TARVEX_INI", dir.File("t.INI").c_str(), 1);
  struct Case {
    const char* name;
    std::function<void(ScriptServer&)> script;
  } cases[] = {
      {"greeting", [](ScriptServer& peer) { peer.Hold(); }},
      {"end of data",
       [](ScriptServer& peer) {
         peer.Send("220 ready\r\n").Reply("250 hello\r\n").Reply("250 ok\r\n").Reply("250 ok\r\n");
         peer.Reply("250 ok\r\n").Reply("354 go\r\n").Hold();
       }},
  };
  for (const auto& c : cases) {
    ScriptServer peer;
    TForm1 closing;
    closing.Server = "127.0.0.1";
    closing.Port = IntToStr(peer.Port());
    closing.UserName = "client";
    closing.To = "a@x.jp";
    closing.Subject = "s";
    closing.SenderAddress = "me@x.jp";
    c.script(peer);
    apptest::CountingHandler closer;
    closer.onMessage = [&] { closing.Close(); };
    auto& pump = TMessagePump::Instance();
    HWND window = pump.CreateWindow(&closer);
    pump.SetTimer(window, 1, 200);
    EXPECT_THROW(closing.SendClick(), EAbortError) << c.name;
    pump.DestroyWindow(window);
    EXPECT_TRUE(closing.IsClosed()) << c.name;
    EXPECT_FALSE(closing.Connected) << c.name;
    ASSERT_TRUE(peer.WaitDone()) << c.name;  // Hold ends when the client has gone
    for (const auto& command : peer.Commands()) EXPECT_NE(command, "QUIT") << c.name;
  }
  ::unsetenv("TARVEX_INI");
}

}  // namespace
