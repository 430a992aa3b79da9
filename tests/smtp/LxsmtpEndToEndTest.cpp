// One message with an attachment through TLxSMTP to a real SMTP server (aiosmtpd,
// started by tests/e2e/smtp_sink.py), read back by Python's email package: envelope,
// headers, the text part and the attachment's decoded bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "SmtpTestSupport.h"
#include "platform/FileUtil.h"

namespace {

using smtp_test::Session;

// The sink process: its standard output is read line by line.
class Sink {
 public:
  Sink(const std::string& outdir, int count) {
    const std::string cmd = std::string("/usr/bin/python3 ") + TARVEX_SOURCE_DIR + "/tests/e2e/smtp_sink.py '" +
                            outdir + "' " + std::to_string(count);
    pipe_ = ::popen(cmd.c_str(), "r");
  }
  ~Sink() {
    if (pipe_) ::pclose(pipe_);
  }
  // The next line without its line end; empty at the end of the output.
  std::string Line() {
    std::string line;
    for (int c; pipe_ && (c = std::fgetc(pipe_)) != EOF && c != '\n';) line += static_cast<char>(c);
    return line;
  }

 private:
  FILE* pipe_ = nullptr;
};

TEST(SmtpEndToEnd, MessageWithAttachmentReadByEmailParser) {
  Session s;
  Sink sink(s.scratch.Path(), 1);
  const std::string first = sink.Line();
  ASSERT_EQ(first.rfind("PORT ", 0), 0u) << "the sink did not start: " << first;
  s.smtp.Port = std::stoi(first.substr(5));

  const std::string bytes = encoding_test::RandomBytes(100000, 11);
  TPostMessage& m = s.smtp.PostMessage;
  m.FromName = "Sender ";
  m.FromAddress = "sender@example.org";
  m.ToAddress = {"Rcpt <rcpt@example.com>"};
  m.ToCarbonCopy = {"copy@example.com"};
  m.ToBlindCarbonCopy = {"hidden@example.com"};
  m.Subject = "End to end";
  m.LocalProgram = "Tarvex-Test";
  m.Date = "Mon, 01 Jan 2024 09:00:00 +0900";
  m.Body = {"first line", ".dot line", ".", "last"};
  m.Attachments = {s.File("in/data.bin", bytes)};

  s.smtp.Connect();
  s.smtp.SendMail();
  s.smtp.Disconnect();
  EXPECT_EQ(s.events, (std::vector<std::string>{"Connect", "EncodeStart:$DIR/in/data.bin",
                                                "EncodeEnd:$DIR/in/data.bin", "SendStart", "Success"}));

  ASSERT_EQ(sink.Line(), "DONE");
  EXPECT_EQ(ReadWholeFile(s.scratch.Path() + "summary.txt"),
            "message=1\n"
            "mail_from=sender@example.org\n"
            "rcpt_tos=rcpt@example.com,copy@example.com,hidden@example.com\n"
            "defects=0\n"
            "header From=Sender <sender@example.org>\n"
            "header To=Rcpt <rcpt@example.com>\n"
            "header CC=copy@example.com\n"
            "header Bcc=<none>\n"
            "header Subject=End to end\n"
            "header X-Mailer=Tarvex-Test\n"
            "header Date=Mon, 01 Jan 2024 09:00:00 +0900\n"
            "header Mime-Version=1.0\n"
            "content_type=multipart/mixed\n"
            "part1 type=text/plain filename=None defects=0\n"
            // The line end before a delimiter belongs to the delimiter.
            "part1 text='first line\\n.dot line\\n.\\nlast'\n"
            "part2 type=application/octet-stream filename=data.bin defects=0\n");
  EXPECT_TRUE(ReadWholeFile(s.scratch.Path() + "msg1-part2.bin") == bytes) << "attachment bytes differ";
}

}  // namespace
