// The form's life (creation, start-up macro, close), the view notifications, the
// general error report with its exit statuses, and the message-pumping pause.
#include "app/AppFixture.h"

#include <unistd.h>

#include "app/Rw_ini.h"
#include "platform/FileUtil.h"
#include "platform/Profile.h"

using namespace apptest;

namespace {

class RecordingView : public TFormView {
 public:
  std::vector<TFormField> changed;
  int closed = 0;
  void Changed(TFormField field) override { changed.push_back(field); }
  void Closed() override { ++closed; }
  bool Saw(TFormField f) const { return std::find(changed.begin(), changed.end(), f) != changed.end(); }
};

// Restores the command line after a test.
struct ParamsGuard {
  explicit ParamsGuard(std::vector<std::string> p) { SetParams(p); }
  ~ParamsGuard() { SetParams({}); }
};

}  // namespace

class FormLife : public FormTest {};

TEST_F(FormLife, CreationWithoutSettingsFileUsesDefaults) {
  RecordingForm form;
  RecordingView view;
  form.SetView(&view);
  form.FormCreate();
  EXPECT_EQ(form.Left, 80);
  EXPECT_EQ(form.Top, 80);
  EXPECT_EQ(form.Port, "25");
  EXPECT_EQ(form.Server, "");
  EXPECT_EQ(form.MacroPath, "");
  EXPECT_FALSE(form.StartTimer.Enabled());
  EXPECT_FALSE(Exists(ini));  // loading never creates the file
  EXPECT_TRUE(view.Saw(TFormField::Position));
  EXPECT_TRUE(view.Saw(TFormField::Port));
}

TEST_F(FormLife, AttachmentChooserTextsAreTheJapaneseTextsInCp932) {
  RecordingForm form;
  EXPECT_EQ(form.AttachmentChooser.Filter, Utf8ToCp932("すべてのファイル(*.*)|*.*"));
  EXPECT_EQ(form.AttachmentChooser.Title, Utf8ToCp932("添付ファイルの指定"));
}

TEST_F(FormLife, CreationFillsTheConnectionFieldsFromTheSettings) {
  dir.Write("t.INI", "[Pos]\r\nTop=12\r\nLeft=-4\r\n[ConInf]\r\nIPAdr=h\r\nMailAdr=m@x\r\nUser=u\r\nPwd=p\r\n"
                     "[SMTP]\r\nPort=0x1A\r\n");
  RecordingForm form;
  form.FormCreate();
  EXPECT_EQ(form.Top, 12);
  EXPECT_EQ(form.Left, -4);
  EXPECT_EQ(form.Server, "h");
  EXPECT_EQ(form.SenderAddress, "m@x");
  EXPECT_EQ(form.UserName, "u");
  EXPECT_EQ(form.Password, "p");
  EXPECT_EQ(form.Port, "26");
}

TEST_F(FormLife, FirstArgumentBecomesTheMacroPath) {
  struct Case {
    std::vector<std::string> params;
    std::string path;
    bool timer;
  } cases[] = {
      {{"m.txt"}, ExeDir() + "m.txt", true},
      {{"m.txt", "second.txt"}, ExeDir() + "m.txt", true},
      {{"./m.txt"}, "./m.txt", false},
      {{"/abs/m.txt"}, "/abs/m.txt", false},
      {{"C:m.txt"}, "C:m.txt", false},
      {{"dir\\m.txt"}, "dir\\m.txt", false},
  };
  for (const auto& c : cases) {
    ParamsGuard params(c.params);
    RecordingForm form;
    form.FormCreate();
    EXPECT_EQ(form.MacroPath, c.path) << c.params[0];
    EXPECT_EQ(form.StartTimer.Enabled(), c.timer) << c.params[0];
  }
}

// A bare name is the file beside the program when it is there, else the file in the
// current folder; found in neither, the open error names both places.
TEST_F(FormLife, BareNameIsLookedForBesideTheProgramThenInTheCurrentFolder) {
  dir.Write("here.txt", "action:\r\nopen\r\n");
  char old[4096];
  ASSERT_NE(::getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(::chdir(dir.Path().c_str()), 0);
  struct Back {
    const char* path;
    ~Back() { (void)!::chdir(path); }
  } back{old};
  {
    ParamsGuard params({"here.txt"});
    RecordingForm form;
    form.FormCreate();
    EXPECT_EQ(form.MacroPath, dir.Path() + "here.txt");
    EXPECT_TRUE(form.StartTimer.Enabled());
    form.FormActivate();
    EXPECT_EQ(form.Texts(), std::vector<std::string>{"connect  25 "});
  }
  {
    ParamsGuard params({"nowhere.txt"});
    RecordingForm form;
    form.FormCreate();
    EXPECT_EQ(form.MacroPath, ExeDir() + "nowhere.txt");
    try {
      form.FormActivate();
      ADD_FAILURE() << "no error";
    } catch (const EMacroOpenError& e) {
      EXPECT_NE(e.Message().find(ExeDir() + "nowhere.txt"), std::string::npos) << e.Message();
      EXPECT_NE(e.Message().find(dir.Path() + "nowhere.txt"), std::string::npos) << e.Message();
      EXPECT_EQ(ExitStatusOf(e), esNoInput);
    }
  }
}

TEST_F(FormLife, StartUpMacroRunsOnceOnActivation) {
  ParamsGuard params({Macro("action:\r\nopen\r\n")});
  RecordingForm form;
  form.FormCreate();
  form.FormActivate();
  form.FormActivate();
  form.StartTimerTick();
  EXPECT_EQ(form.Texts(), std::vector<std::string>{"connect  25 "});
  EXPECT_TRUE(form.MacroStarted);
  EXPECT_EQ(form.MacroPath, "");
}

TEST_F(FormLife, StartUpTimerRunsTheMacroWhenActivationDoesNot) {
  RecordingForm form;
  form.MacroPath = Macro("action:\r\nopen\r\n");
  form.StartTimer.SetEnabled(true);
  for (int i = 0; i < 1000 && !form.MacroStarted; ++i) {
    TMessagePump::Instance().WaitMessage(10);
    ProcessMessages();
  }
  EXPECT_EQ(form.Texts(), std::vector<std::string>{"connect  25 "});
  EXPECT_FALSE(form.StartTimer.Enabled());
  form.FormActivate();  // too late: the run has happened
  EXPECT_EQ(form.Texts().size(), 1u);
}

TEST_F(FormLife, AnErrorOfATimerStartedRunGoesToTheErrorReport) {
  RecordingForm form;
  form.MacroPath = dir.File("missing.txt");
  form.StartTimer.SetEnabled(true);
  for (int i = 0; i < 1000 && !form.MacroStarted; ++i) {
    TMessagePump::Instance().WaitMessage(10);
    ProcessMessages();  // must not throw
  }
  ASSERT_EQ(dialogs.Messages().size(), 1u);
  EXPECT_NE(dialogs.Messages()[0].find("missing.txt"), std::string::npos);
  EXPECT_EQ(Application().ExitStatus(), esNoInput);
}

TEST_F(FormLife, ClosingSavesWhatTheFieldsShow) {
  struct Case {
    std::string portText;
    std::string port;
  } cases[] = {{"587", "587"}, {"abc", "25"}, {"", "25"}, {"0x1A", "25"}, {"-1", "-1"}};
  for (const auto& c : cases) {
    RecordingForm form;
    RecordingView view;
    form.SetView(&view);
    form.FormCreate();
    form.ExecuteMacroFile(Macro("server:\r\nfrom-macro\r\n"));
    form.Server = "edited";
    form.Port = c.portText;
    form.Left = 7;
    form.Close();
    EXPECT_TRUE(form.IsClosed());
    EXPECT_EQ(view.closed, 1);
    EXPECT_EQ(form.Texts(), (std::vector<std::string>{"abort", "abort"}));
    EXPECT_EQ(GetPrivateProfileString("SMTP", "Port", "", ini), c.port) << c.portText;
    EXPECT_EQ(GetPrivateProfileString("ConInf", "IPAdr", "", ini), "edited");
    EXPECT_EQ(GetPrivateProfileString("Pos", "Left", "", ini), "7");
    form.Close();  // a closed form is not closed again
    EXPECT_EQ(view.closed, 1);
  }
}

TEST_F(FormLife, FailedSaveKeepsTheFormOpen) {
  ::setenv("TARVEX_INI", (dir.File("no-such-folder") + "/t.INI").c_str(), 1);
  RecordingForm form;
  RecordingView view;
  form.SetView(&view);
  EXPECT_THROW(form.Close(), ESettingsWriteError);
  EXPECT_FALSE(form.IsClosed());
  EXPECT_FALSE(Application().Terminated());
  EXPECT_EQ(view.closed, 0);
}

TEST_F(FormLife, MacroRunNotifiesTheView) {
  RecordingForm form;
  RecordingView view;
  form.SetView(&view);
  form.ExecuteMacroFile(Macro("to:\r\na\r\nbody:\r\nb\r\n"));
  EXPECT_TRUE(view.Saw(TFormField::To));
  EXPECT_TRUE(view.Saw(TFormField::Body));
  // Disabled first, enabled last.
  EXPECT_EQ(view.changed.front(), TFormField::Pages);
  EXPECT_EQ(view.changed.back(), TFormField::Pages);
}

// ------------------------------------------------------------- error report

TEST(ErrorReport, ExitStatusFollowsTheKindOfError) {
  struct Case {
    const char* name;
    std::function<void()> raise;
    int status;
  } cases[] = {
      {"macro file", [] { throw EMacroOpenError("m"); }, esNoInput},
      {"settings write", [] { throw ESettingsWriteError("s"); }, esCantCreate},
      {"other file", [] { throw EFOpenError("f"); }, esSoftware},
      {"conversion", [] { StrToInt("abc"); }, esSoftware},
      {"general", [] { throw Exception("x"); }, esSoftware},
      {"standard", [] { throw std::runtime_error("x"); }, esSoftware},
      // SMTP failures: the kind decides, never the text or the code alone.
      {"smtp 5xx", [] { throw ESmtpError("550 no\r\n", 550); }, esUnavailable},
      {"smtp 4xx", [] { throw ESmtpError("451 later\r\n", 451); }, esTempFail},
      {"smtp final without code", [] { throw ESmtpError("Authentication failed", 334, TSmtpFailure::Final); },
       esUnavailable},
      {"smtp 4xx text of a refusal", [] { throw ESmtpError("Authentication failed", 454); }, esTempFail},
      {"smtp protocol", [] { throw ESmtpError("Protocol error at DATA", 250, TSmtpFailure::Protocol); }, esSoftware},
      {"smtp fate unknown", [] { throw ESmtpError("sent without an answer", 554, TSmtpFailure::FateUnknown); },
       esTempFail},
      {"not connected", [] { throw ENotConnected("Not Connected"); }, esTempFail},
      {"text of not connected", [] { throw Exception("Not Connected"); }, esSoftware},
  };
  for (const auto& c : cases) {
    try {
      c.raise();
      ADD_FAILURE() << c.name;
    } catch (const std::exception& e) {
      EXPECT_EQ(ExitStatusOf(e), c.status) << c.name;
    }
  }
}

TEST_F(FormLife, ErrorReportShowsTheTextAndTheLastErrorDecides) {
  RecordingForm form;
  EXPECT_EQ(ExitStatusOfRun(form), esOk);
  form.ErrorMessage = TForm1::MissingFieldText();
  EXPECT_EQ(ExitStatusOfRun(form), esMissingField);
  Application().ShowException(EMacroOpenError("first"));
  Application().ShowException(ESettingsWriteError("second"));
  EXPECT_EQ(dialogs.Messages(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(ExitStatusOfRun(form), esCantCreate);
}

// ------------------------------------------------------------- pause

TEST(Pause, WaitsAtLeastTheTimeAcrossTickWraps) {
  // Start values: ordinary, just before the signed 32-bit wrap, just before the
  // unsigned wrap of the tick count.
  for (uint64_t start : {uint64_t{1000000}, uint64_t{0x7FFFFF00}, uint64_t{0xFFFFFF00}}) {
    HandClock clock(start, 7);
    TForm1 form;
    uint64_t before = clock.Now();
    form.Pause(1000);
    uint64_t elapsed = clock.Now() - before;
    EXPECT_GE(elapsed, 1000u) << std::hex << start;
    EXPECT_LT(elapsed, 1200u) << std::hex << start;
    EXPECT_GT(clock.Ticks(), 10) << "messages processed during the pause";
  }
}

TEST(Pause, ZeroOrNegativeProcessesMessagesOnce) {
  HandClock clock;
  TForm1 form;
  CountingHandler handler;
  HWND w = TMessagePump::Instance().CreateWindow(&handler);
  TMessagePump::Instance().PostMessage(w, WM_USER, 0, 0);
  form.Pause(0);
  form.Pause(-5);
  TMessagePump::Instance().DestroyWindow(w);
  EXPECT_EQ(handler.count, 1);
}
