// The settings and result file: its name, the integer rule, defaults, the key
// order of a new file, keeping what was there, and the write error.
#include "app/AppFixture.h"
#include "app/ExitStatus.h"
#include "app/Rw_ini.h"
#include "platform/AsciiCase.h"
#include "platform/FileUtil.h"

using namespace apptest;

TEST(IniStrToInt, ConvertsHexDecimalOrGivesTheDefault) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {
      {"0x1A", 26},        {"0X1a", 26},         {"0x7FFFFFFF", 2147483647},
      {"25", 25},          {"025", 25},          {"+7", 7},
      {"-3", -3},          {"2147483647", 2147483647}, {"-2147483648", INT32_MIN},
      {"abc", -99},        {"", -99},            {"99999999999", -99},
      {"0x", -99},         {"0X", -99},          {"0x80000000", -99},
      {"0xG", -99},        {"0x-1", -99},        {"0x+1", -99},
      {"0x1A ", -99},      {" 25", -99},         {"12abc", -99},
      {"x1A", -99},        {"00x1", -99},        {"--1", -99},
  };
  for (const auto& c : cases) EXPECT_EQ(IniStrToInt(c.text, -99), c.value) << '"' << c.text << '"';
}

TEST(SettingsFileName, IsTheExecutableWithIniOrTheEnvironmentsFile) {
  ::unsetenv("TARVEX_INI");
  std::string exe = ExePath();  // .../app_tests: no extension
  EXPECT_EQ(SettingsFileName(), exe + ".INI");
  ::setenv("TARVEX_INI", "/x/y.ini", 1);
  EXPECT_EQ(SettingsFileName(), "/x/y.ini");
  ::setenv("TARVEX_INI", "rel.ini", 1);
  std::string name = SettingsFileName();
  EXPECT_EQ(name.front(), '/');
  EXPECT_EQ(name.substr(name.size() - 8), "/rel.ini");
  ::setenv("TARVEX_INI", "", 1);
  EXPECT_EQ(SettingsFileName(), exe + ".INI");
  ::unsetenv("TARVEX_INI");
}

class Settings : public FormTest {};

TEST_F(Settings, MissingFileGivesDefaultsAndIsNotCreated) {
  RecordingForm form;
  form.FormTop = form.FormLeft = 1;
  form.Port = "1";
  form.Server = form.Password = "x";
  LoadSettings(form);
  EXPECT_EQ(form.FormTop, 80);
  EXPECT_EQ(form.FormLeft, 80);
  EXPECT_EQ(form.Port, "25");
  EXPECT_EQ(form.Server, "");
  EXPECT_EQ(form.Password, "");
  EXPECT_EQ(form.SmtpSecurity, SecurityChoice(ssNone));
  EXPECT_EQ(form.SmtpAuth, AuthChoice(saNone));
  EXPECT_TRUE(form.VerifyCert);
  EXPECT_EQ(form.CAFile, "");
  EXPECT_EQ(form.MailCharsetSetting, CharsetChoice(TCharsetChoice::Auto));
  EXPECT_FALSE(Exists(ini));
}

TEST_F(Settings, BrokenFileGivesWhatCanBeReadAndDefaultsForTheRest) {
  std::string longValue(3000, 'h');
  dir.Write("t.INI",
            "garbage\n[Pos\nTop=1\n[Pos]\nTop=abc\nLeft=0x10\n=x\n[ConInf]\nIPAdr=" + longValue +
                "\nUser=first\nuser=second\n; Pwd=commented\n[SMTP]\nPort=99999999999\n[Result]\nErrMes=not read");
  RecordingForm form;
  LoadSettings(form);
  EXPECT_EQ(form.FormTop, 80);
  EXPECT_EQ(form.FormLeft, 16);
  EXPECT_EQ(form.Server, longValue.substr(0, 2047));
  EXPECT_EQ(form.UserName, "first");
  EXPECT_EQ(form.Password, "");
  EXPECT_EQ(form.Port, "25");
  EXPECT_EQ(form.ErrorMessage, "");
}

TEST_F(Settings, TimeOutIsReadInMillisecondsAndNeverWritten) {
  struct Case {
    std::string file;
    int32_t timeOut;
    std::string keptLine;  // the key's line after saving; empty: no such key
  } cases[] = {
      {"", 0, ""},                                  // no file: no limit, as before
      {"[SMTP]\nPort=25\n", 0, ""},                 // a file of an old version stays without it
      {"[SMTP]\nTimeOut=30000\n", 30000, "\nTimeOut=30000\n"},
      {"[smtp]\ntimeout=0x10\n", 16, "\ntimeout=0x10\n"},  // any case; the integer rule
      {"[SMTP]\nTimeOut=-5\n", 0, "\nTimeOut=-5\n"},       // negative: no limit
      {"[SMTP]\nTimeOut=soon\n", 0, "\nTimeOut=soon\n"},
  };
  for (const Case& c : cases) {
    ::unlink(ini.c_str());
    if (!c.file.empty()) dir.Write("t.INI", c.file);
    RecordingForm form;
    form.TimeOut = 77;
    LoadSettings(form);
    EXPECT_EQ(form.TimeOut, c.timeOut) << c.file;
    SaveSettings(form);
    std::string saved = ReadFile(ini);
    if (!c.keptLine.empty()) {
      EXPECT_NE(saved.find(c.keptLine), std::string::npos) << saved;
    } else {
      EXPECT_EQ(AsciiLowerCase(saved).find("timeout"), std::string::npos) << saved;
    }
  }
}

TEST_F(Settings, NewFileHoldsEveryWrittenKeyInOrder) {
  RecordingForm form;
  form.FormTop = 3;
  form.FormLeft = -2;
  form.Server = "smtp.example";
  form.SenderAddress = "me@example";
  form.UserName = "user";
  form.Password = Utf8ToCp932("秘密");
  form.ErrorMessage = TForm1::MissingFieldText();
  form.Port = "587";
  form.SmtpSecurity = SecurityChoice(ssStartTls);
  form.SmtpAuth = AuthChoice(saAuto);
  form.VerifyCert = false;
  form.CAFile = "/etc/ca.pem";
  form.PasswordCommand = "pass show mail";
  form.MailCharsetSetting = CharsetChoice(TCharsetChoice::Utf8);
  form.FormWidth = 640;
  form.FormHeight = 480;
  form.AttachDir = Utf8ToCp932("/home/user/資料/");
  SaveSettings(form);
  EXPECT_EQ(ReadFile(ini), "[Pos]\r\nTop=3\r\nLeft=-2\r\nWidth=640\r\nHeight=480\r\n[ConInf]\r\n"
                           "IPAdr=smtp.example\r\nMailAdr=me@example\r\n"
                           "User=user\r\nPwd=" + Utf8ToCp932("秘密") + "\r\n[Result]\r\nMailRes=\r\nErrMes=" +
                               TForm1::MissingFieldText() + "\r\nStatus=65\r\nError=" + TForm1::MissingFieldText() +
                               "\r\nRefused=\r\nMissing=\r\nWarning=\r\n[SMTP]\r\nPort=587\r\nSecurity=starttls\r\n"
                               "Auth=auto\r\nVerifyCert=0\r\nCAFile=/etc/ca.pem\r\nPasswordCommand=pass show mail\r\n"
                               "[Mail]\r\nCharset=utf-8\r\n[Folder]\r\nAttach=" + Utf8ToCp932("/home/user/資料/") + "\r\n");
  struct stat st;
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // What was written reads back.
  RecordingForm back;
  LoadSettings(back);
  EXPECT_EQ(back.FormTop, 3);
  EXPECT_EQ(back.FormLeft, -2);
  EXPECT_EQ(back.Password, Utf8ToCp932("秘密"));
  EXPECT_EQ(back.Port, "587");
  EXPECT_EQ(back.SmtpSecurity, SecurityChoice(ssStartTls));
  EXPECT_EQ(back.SmtpAuth, AuthChoice(saAuto));
  EXPECT_FALSE(back.VerifyCert);
  EXPECT_EQ(back.CAFile, "/etc/ca.pem");
  EXPECT_EQ(back.PasswordCommand, "pass show mail");
  EXPECT_EQ(back.MailCharsetSetting, CharsetChoice(TCharsetChoice::Utf8));
  EXPECT_EQ(back.FormWidth, 640);
  EXPECT_EQ(back.FormHeight, 480);
  EXPECT_EQ(back.AttachDir, Utf8ToCp932("/home/user/資料/"));
}

TEST_F(Settings, SecureSubmissionKeysReadOnceIgnoringCaseAndKeepUnknownTexts) {
  struct Case {
    const char* lines;
    TSecuritySetting security;
    TAuthSetting auth;
    bool verify;
  } cases[] = {
      {"", {ssNone, "none"}, {saNone, "none"}, true},
      {"Security=\nAuth=\nVerifyCert=\n", {ssNone, "none"}, {saNone, "none"}, true},
      {"Security=TLS\nAuth=Auto\nVerifyCert=0\n", {ssTls, "TLS"}, {saAuto, "Auto"}, false},
      {"Security=STARTTLS\nAuth=AUTO\n", {ssStartTls, "STARTTLS"}, {saAuto, "AUTO"}, true},
      {"Security=starttls\nVerifyCert=2\n", {ssStartTls, "starttls"}, {saNone, "none"}, true},
      // Unknown words stay as written: the connect refuses them by name.
      {"Security=ssl\nAuth=Plane\n", {ssNone, "ssl", false}, {saNone, "Plane", false}, true},
      {"Auth=XOAuth2\n", {ssNone, "none"}, {saXOAuth2, "XOAuth2"}, true},
      {"Auth=oauthbearer\n", {ssNone, "none"}, {saOAuthBearer, "oauthbearer"}, true},
      {"Auth=Plain\n", {ssNone, "none"}, {saPlain, "Plain"}, true},
      {"Auth=LOGIN\n", {ssNone, "none"}, {saLogin, "LOGIN"}, true},
      {"VerifyCert=abc\n", {ssNone, "none"}, {saNone, "none"}, true},
      {"VerifyCert=0x0\n", {ssNone, "none"}, {saNone, "none"}, false},  // the integer rule: hexadecimal zero
  };
  for (const auto& c : cases) {
    dir.Write("t.INI", std::string("[SMTP]\nPort=465\n") + c.lines);
    RecordingForm form;
    LoadSettings(form);
    EXPECT_EQ(form.SmtpSecurity, c.security) << c.lines;
    EXPECT_EQ(form.SmtpAuth, c.auth) << c.lines;
    EXPECT_EQ(form.VerifyCert, c.verify) << c.lines;
  }
}

TEST(SecureSubmissionValues, AChoiceInTheWindowIsWrittenAsItsWord) {
  EXPECT_EQ(SecurityChoice(ssStartTls), (TSecuritySetting{ssStartTls, "starttls"}));
  EXPECT_EQ(AuthChoice(saAuto), (TAuthSetting{saAuto, "auto"}));
}

TEST(SecureSubmissionValues, MapToTheComponentOrAreRefused) {
  EXPECT_EQ(SmtpSecurityOf(""), ssNone);
  EXPECT_EQ(SmtpSecurityOf("none"), ssNone);
  EXPECT_EQ(SmtpSecurityOf("STARTTLS"), ssStartTls);
  EXPECT_EQ(SmtpSecurityOf("tls"), ssTls);
  EXPECT_EQ(SmtpAuthOf("None"), saNone);
  EXPECT_EQ(SmtpAuthOf("auto"), saAuto);
  // A mistyped value must not quietly fall back to the plain dialogue.
  for (const char* bad : {"startls", "ssl", " tls", "yes"}) {
    try {
      SmtpSecurityOf(bad);
      ADD_FAILURE() << bad;
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find(bad), std::string::npos) << e.Message();
    }
  }
  EXPECT_EQ(SmtpAuthOf("PLAIN"), saPlain);
  EXPECT_EQ(SmtpAuthOf("xoauth2"), saXOAuth2);
  EXPECT_THROW(SmtpAuthOf("oauth"), Exception);
  EXPECT_THROW(SmtpAuthOf("cram-md5"), Exception);
}

TEST(DsnValues, MapToTheComponentOrAreRefused) {
  const std::pair<const char*, const char*> notify[] = {
      {"", ""}, {"never", "NEVER"}, {"Success", "SUCCESS"}, {"success,failure,delay", "SUCCESS,FAILURE,DELAY"},
      {" delay , FAILURE ", "DELAY,FAILURE"}};
  for (const auto& [text, value] : notify) EXPECT_EQ(DsnNotifyOf(text), value) << text;
  for (const char* bad : {"always", "never,success", "success,,delay", "success,success", "success;delay", ","}) {
    try {
      DsnNotifyOf(bad);
      ADD_FAILURE() << bad;
    } catch (const EConfigError& e) {
      EXPECT_NE(e.Message().find(std::string("[Mail] Notify value \"") + bad), std::string::npos) << e.Message();
    }
  }
  EXPECT_EQ(DsnReturnOf(""), "");
  EXPECT_EQ(DsnReturnOf("Headers"), "HDRS");
  EXPECT_EQ(DsnReturnOf("full"), "FULL");
  EXPECT_THROW(DsnReturnOf("hdrs"), EConfigError);
}

TEST(HelloValues, MapToTheComponentOrAreRefused) {
  EXPECT_TRUE(SmtpUseEhloOf(ParseHelloSetting("")));
  EXPECT_TRUE(SmtpUseEhloOf(ParseHelloSetting("EHLO")));
  EXPECT_FALSE(SmtpUseEhloOf(ParseHelloSetting("helo")));
  EXPECT_FALSE(SmtpUseEhloOf(ParseHelloSetting("Helo")));
  for (const char* bad : {"hello", "lhlo", " ehlo", "0"}) {
    try {
      SmtpUseEhloOf(ParseHelloSetting(bad));
      ADD_FAILURE() << bad;
    } catch (const EConfigError& e) {
      EXPECT_NE(e.Message().find(std::string("[SMTP] Hello value \"") + bad), std::string::npos) << e.Message();
      EXPECT_EQ(ExitStatusOf(e), esConfig);
    }
  }
}

TEST(CharsetValues, MapToTheChoiceOrAreRefused) {
  EXPECT_EQ(CharsetChoiceOf(ParseCharsetSetting("")), TCharsetChoice::Auto);
  EXPECT_EQ(CharsetChoiceOf(ParseCharsetSetting("Auto")), TCharsetChoice::Auto);
  EXPECT_EQ(CharsetChoiceOf(ParseCharsetSetting("ISO-2022-JP")), TCharsetChoice::Iso2022Jp);
  EXPECT_EQ(CharsetChoiceOf(ParseCharsetSetting("utf-8")), TCharsetChoice::Utf8);
  EXPECT_EQ(ParseCharsetSetting("UTF-8").Text, "UTF-8") << "kept as read";
  for (const char* bad : {"utf8", "shift_jis", " auto"}) {
    try {
      CharsetChoiceOf(ParseCharsetSetting(bad));
      ADD_FAILURE() << bad;
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find(std::string("[Mail] Charset value \"") + bad), std::string::npos) << e.Message();
    }
  }
}

TEST_F(Settings, SavingKeepsUnrelatedSectionsKeysAndComments) {
  dir.Write("t.INI", "; my settings\n[Other]\nkeep=1\n[ConInf]\nExtra=yes\nIPAdr=old\n\n[SMTP]\nPort=25\nTimeout=9\n");
  ::chmod(ini.c_str(), 0640);
  RecordingForm form;
  form.Server = "new";
  SaveSettings(form);
  EXPECT_EQ(ReadFile(ini),
            "; my settings\n[Other]\nkeep=1\n[ConInf]\nExtra=yes\nIPAdr=new\nMailAdr=\nUser=\nPwd=\n\n[SMTP]\n"
            "Port=25\nTimeout=9\nSecurity=none\nAuth=none\nVerifyCert=1\nCAFile=\nPasswordCommand=\n[Pos]\nTop=80\nLeft=80\n"
            "Width=0\nHeight=0\n[Result]\nMailRes=\nErrMes=\nStatus=0\nError=\nRefused=\nMissing=\nWarning=\n[Mail]\nCharset=auto\n"
            "[Folder]\nAttach=\n");
  struct stat st;
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // an existing file keeps its mode
}

TEST_F(Settings, WriteFailureNamesTheFile) {
  std::string bad = dir.Write("plain", "x") + "/t.INI";  // its folder is a file
  ::setenv("TARVEX_INI", bad.c_str(), 1);
  RecordingForm form;
  try {
    SaveSettings(form);
    FAIL() << "no error";
  } catch (const ESettingsWriteError& e) {
    EXPECT_EQ(e.Message(), bad + Utf8ToCp932(" に書き込めません: Not a directory"));
    EXPECT_EQ(ExitStatusOf(e), esCantCreate);
  }
}

// Values as a caller's editor may leave them: a byte-order mark before the first
// section (read past, so [SMTP] is not lost), a VerifyCert that is no number (kept
// as the configuration error a connect raises), numbers (no error).
TEST_F(Settings, ByteOrderMarkAndVerifyCertTexts) {
  struct Case {
    std::string file;
    std::string security;
    bool verify;
    std::string error;
  } cases[] = {
      {"\xEF\xBB\xBF[SMTP]\r\nSecurity=starttls\r\nVerifyCert=0\r\n", "starttls", false, ""},
      {"[SMTP]\nVerifyCert=2\n", "none", true, ""},
      {"[SMTP]\nVerifyCert=maybe\n", "none", true, "Unknown [SMTP] VerifyCert value \"maybe\" (0 or 1)"},
  };
  for (const Case& c : cases) {
    dir.Write("t.INI", c.file);
    RecordingForm form;
    LoadSettings(form);
    EXPECT_EQ(form.SmtpSecurity.Text, c.security) << c.file;
    EXPECT_EQ(form.VerifyCert, c.verify) << c.file;
    EXPECT_EQ(form.SettingsError, c.error) << c.file;
  }
}
