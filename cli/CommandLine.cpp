#include "cli/CommandLine.h"

#include <getopt.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/ExitStatus.h"
#include "app/Rw_ini.h"
#include "platform/FileUtil.h"

const char kHelpHint[] = "Try 'tarvex --help' for more information.";

namespace {

const char kUsageHead[] =
    "usage: tarvex [--headless] [OPTIONS] [MACRO]\n"
    "       tarvex --help | --version\n"
    "Runs the macro file MACRO (a bare file name means the file beside the program\n"
    "when it is there, else the one in the current folder) and keeps the settings\n"
    "and the run's result in the settings file: the file named by TARVEX_INI, else\n"
    "tarvex.INI beside the program when that can be written (a program under /usr\n"
    "or /opt makes none there, not even for root), else\n"
    "$XDG_CONFIG_HOME/tarvex/tarvex.INI (~/.config/tarvex/tarvex.INI).\n"
    "A macro file's lines end at CR (CR LF), or at LF in a file without any CR.\n"
    "Office sections: reply-to: names the sender, answer-to: where answers go\n"
    "(Reply-To); receipt: yes asks for a read receipt; priority: high|normal|low;\n"
    "header: one own header line \"Name: value\" a line (a field Tarvex writes\n"
    "itself, a bad name or a line break stops the run before connecting, exit 65).\n"
    "\n"
    "Options for scripts and debugging (all off by default):\n"
    "  --charset CHARSET  read the macro file and its pickup files as CHARSET:\n"
    "                     cp932 (Shift-JIS, the default) or utf-8; also taken from\n"
    "                     the environment variable TARVEX_CHARSET. A UTF-8 line with\n"
    "                     a character that has no CP932 form stops the run\n"
    "                     (exit 65).\n"
    "                     Without the option, a macro file that is UTF-8 text stops\n"
    "                     before connecting (exit 65); cp932 sends it as Shift-JIS.\n"
    "  --timeout SECONDS  give up a host lookup, connect or whole server reply after\n"
    "                     SECONDS (decimals allowed; 0: wait without limit), and a\n"
    "                     send when the server takes no data for that long. Without\n"
    "                     it, [SMTP] TimeOut of the settings file (milliseconds)\n"
    "                     holds. Without any time-out, data the server does not read\n"
    "                     for 10 minutes still ends the send (exit 75).\n"
    "                     A PasswordCommand runs at most 2 minutes, or SECONDS when\n"
    "                     shorter (exit 78).\n"
    "  -v, --verbose      trace every command sent and every line received on\n"
    "                     stderr, with time stamps; -vv also the connection's status\n"
    "                     texts.\n"
    "  --dump FILE        each send also writes the bytes that follow DATA (header,\n"
    "                     empty line, dot-stuffed body, without the final \".\") to\n"
    "                     FILE.\n"
    "  --no-send          with --dump: connect to nothing; \"open\" and \"close\" do\n"
    "                     nothing and \"send\" succeeds once FILE is written. Implies\n"
    "                     --headless.\n"
    "  --no-pause         skip the one-second pauses after \"open\", \"send\" and\n"
    "                     \"close\" (for callers that send many mails); messages are\n"
    "                     still handled there, in the same order.\n"
    "  --result FILE      also write the run's [Result] section (the same keys) to\n"
    "                     FILE, replaced as a whole when the run ends: for callers\n"
    "                     that run several sends at once on one settings file. A\n"
    "                     FILE that could not be written stops the run before\n"
    "                     anything is sent (exit 73).\n"
    "  -h, --help         show this text.\n"
    "  --version          show the version.\n"
    "\n"
    "Examples:\n"
    "  tarvex --headless --charset utf-8 -v mail.txt\n"
    "  tarvex --timeout 30 --dump sent.eml mail.txt\n"
    "  tarvex --dump check.eml --no-send mail.txt\n"
    "\n"
    "Settings file keys [Mail] SentFolder=DIR (a Maildir that keeps a copy of each\n"
    "mail sent, with its Bcc line) and [Mail] Log=FILE (one JSON line per send,\n"
    "failures included); what cannot be written is said in [Result] Warning.\n"
    "[Mail] Signature=FILE adds FILE (read as the macro file is) to every body.\n"
    "[Mail] OwnDomains lists the company's domains: the window confirms a mail to\n"
    "any other (recipients and attachments ticked) unless [Mail] SendCheck=off;\n"
    "macro runs never ask.\n"
    "Settings file key [Mail] Charset: auto (the default: ISO-2022-JP when all text\n"
    "fits JIS X 0208, else the whole message as UTF-8), iso-2022-jp (always as\n"
    "earlier versions sent it) or utf-8.\n"
    "Addresses: To, CC and BCC split at commas outside quoted names, comments and\n"
    "<...>; the envelope gets the bare address. A Japanese domain goes as its\n"
    "ASCII (IDNA) form everywhere, one without such a form stops the run (65). A\n"
    "Japanese mailbox name needs a server with SMTPUTF8; without it nothing is\n"
    "sent (69). A Japanese display name goes as encoded words.\n"
    "Settings file key [SMTP] Hello: ehlo (the default: EHLO first, HELO when the\n"
    "server does not know EHLO) or helo (HELO only, for a server that needs it).\n"
    "A message larger than the SIZE limit the server announces is not sent (69).\n"
    "Settings file keys [Mail] Notify (never, or any of success,failure,delay) and\n"
    "[Mail] Return (headers or full) ask a server that offers DSN for delivery\n"
    "status notifications.\n"
    "\n"
    "With a display (DISPLAY or WAYLAND_DISPLAY) and without --headless the form\n"
    "opens as a window; it exits 0 when closed, or as a macro ending in \"end\" ended.\n"
    "The window is the module tarvex-window.so, beside the program or in the\n"
    "installed library folder; without it the run goes on headless.\n"
    "Debug aid: --screenshot FILE saves a picture of the window once it is shown.\n"
    "\n"
    "Every run writes [Result] of the settings file: Status (the exit status), Error\n"
    "(the error text, empty after success), Refused (\"bad@x 550 5.1.1 no such user\",\n"
    "\"; \" between recipients), Missing (attachment files not sent), Warning (a sent\n"
    "copy or log line not written), MailRes, ErrMes.\n"
    "SIGTERM, SIGINT or SIGHUP end a run within a second in every phase (exit 75,\n"
    "the result saved). A save waits at most 5 s for the lock of the settings file's\n"
    "folder (exit 73 before sending). Core dumps are off (the password is in\n"
    "memory).\n"
    "\n";

// The columns a UTF-8 character starting with this byte takes on a terminal: two
// for one of three or more bytes (kana, kanji, full-width signs), else one.
size_t CharColumns(unsigned char lead) { return lead >= 0xE0 ? 2 : 1; }

size_t CharBytes(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; }

size_t Columns(const std::string& text) {
  size_t columns = 0;
  for (size_t i = 0; i < text.size(); i += CharBytes(text[i])) columns += CharColumns(text[i]);
  return columns;
}

// Characters a Japanese line does not start with (closing signs, the long vowel
// mark, small kana) and ones it does not end with (opening brackets).
bool NoLineStart(const std::string& c) {
  static const std::string signs = "、。）」ーぁぃぅぇぉっゃゅょゎァィゥェォッャュョヮ";
  return c.size() == 3 && signs.find(c) != std::string::npos && signs.find(c) % 3 == 0;
}
bool NoLineEnd(const std::string& c) { return c == "（" || c == "「"; }

// A text cut where a line may break: at the blanks (kept as spaceBefore), and, as
// Japanese text is broken, between two characters when either is a wide one,
// except before one a line does not start with or after one it does not end with.
struct TPiece {
  std::string text;
  bool spaceBefore;
};
std::vector<TPiece> BreakPieces(const std::string& text) {
  std::vector<TPiece> pieces;
  bool space = false, lastWide = false, lastNoEnd = false;
  for (size_t i = 0; i < text.size();) {
    const size_t n = std::min(CharBytes(text[i]), text.size() - i);
    const std::string c = text.substr(i, n);
    i += n;
    if (c == " ") {
      space = true;
      continue;
    }
    const bool wide = CharColumns(c[0]) == 2;
    if (!pieces.empty() && !space && ((!wide && !lastWide) || NoLineStart(c) || lastNoEnd))
      pieces.back().text += c;
    else
      pieces.push_back({c, space});
    space = false;
    lastWide = wide;
    lastNoEnd = NoLineEnd(c);
  }
  return pieces;
}

// The meaning of an exit status, wrapped to lines of at most 79 columns under a
// six-column indent: at the words, and in Japanese text between its characters.
void AppendExitStatus(std::string& out, int status, const std::string& meaning) {
  std::string line = "  " + std::to_string(status);
  line.resize(6, ' ');
  bool first = true;
  for (const TPiece& piece : BreakPieces(meaning)) {
    const std::string gap = piece.spaceBefore ? " " : "";
    if (!first && Columns(line) + gap.size() + Columns(piece.text) > 79) {
      out += line + "\n";
      line = std::string(6, ' ');
      first = true;
    }
    line += (first ? "" : gap) + piece.text;
    first = false;
  }
  out += line + "\n";
}

enum TOptionId : int {
  opHeadless = 256, opVersion, opNoSend, opNoPause, opCharset, opTimeout, opDump, opScreenshot, opResult
};

const option kOptions[] = {
    {"headless", no_argument, nullptr, opHeadless},  {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, opVersion},    {"verbose", no_argument, nullptr, 'v'},
    {"no-send", no_argument, nullptr, opNoSend},     {"no-pause", no_argument, nullptr, opNoPause},
    {"charset", required_argument, nullptr, opCharset},
    {"timeout", required_argument, nullptr, opTimeout}, {"dump", required_argument, nullptr, opDump},
    {"screenshot", required_argument, nullptr, opScreenshot}, {"result", required_argument, nullptr, opResult},
    {nullptr, 0, nullptr, 0},
};

// The message for what getopt_long returned as '?' or ':' for the argument text.
std::string OptionFault(int result, const std::string& text, int optopt) {
  const bool isLong = text.compare(0, 2, "--") == 0;
  const std::string name = text.substr(0, text.find('='));
  if (result == ':')
    return isLong ? "option '" + name + "' requires an argument"
                  : std::string("option requires an argument -- '") + static_cast<char>(optopt) + "'";
  if (isLong && optopt != 0) return "option '" + name + "' doesn't allow an argument";
  if (isLong) return "unrecognized option '" + text + "'";
  return std::string("invalid option -- '") + static_cast<char>(optopt) + "'";
}

// Checks the option values and fills the run options; the first fault goes to
// line.error.
void ApplyValues(TCommandLine& line, bool charsetGiven, const std::string& charsetOption,
                 const std::string* timeOut, const std::string* dumpPath, int verbosity, bool noSend) {
  auto fail = [&line](const std::string& text) {
    if (line.error.empty()) line.error = text;
  };
  std::string charset = charsetOption;
  const char* env = std::getenv("TARVEX_CHARSET");
  const bool fromEnv = !charsetGiven && env && *env;
  if (fromEnv) charset = env;
  if (charsetGiven || fromEnv) {
    bool ok = false;
    line.run.utf8Macros = ParseCharsetName(charset, ok);
    line.run.charsetNamed = ok;
    if (!ok) fail("unknown charset \"" + charset + "\"" + (fromEnv ? " in TARVEX_CHARSET" : "") + " (cp932 or utf-8)");
  }
  if (timeOut) {
    line.run.timeOut = ParseSeconds(*timeOut);
    if (line.run.timeOut < 0) fail("bad --timeout \"" + *timeOut + "\" (seconds, e.g. 30 or 2.5)");
  }
  line.run.verbosity = std::min(verbosity, 2);
  if (dumpPath) {
    if (dumpPath->empty()) fail("--dump needs a file name");
    line.run.dumpPath = FromOsPath(*dumpPath);
  }
  if (noSend && !dumpPath) fail("--no-send needs --dump FILE");
  line.run.noSend = noSend;
  // A run that sends nothing is a check for scripts: never a window.
  if (noSend) line.headless = true;
}

}  // namespace

std::string UsageText(TLanguage language) {
  const bool japanese = language == TLanguage::japanese;
  std::string text = japanese ? kUsageHeadJa : kUsageHead;
  text += (japanese ? "使用中の設定ファイル: " : "Settings file in use: ") + ToOsPath(SettingsFileName()) +
          (japanese ? "\n\n終了ステータス:\n" : "\n\nExit status:\n");
  for (int i = 0; i < kExitStatusCount; ++i)
    AppendExitStatus(text, kExitStatuses[i].Status, japanese ? kExitStatuses[i].MeaningJa : kExitStatuses[i].Meaning);
  return text;
}

TCommandLine ParseCommandLine(int argc, char** argv) {
  TCommandLine line;
  std::string charset, timeOut, dumpPath;
  bool charsetGiven = false, timeOutGiven = false, dumpGiven = false, noSend = false;
  int verbosity = 0;
  opterr = 0;  // the faults are worded here, with the program's name
  optind = 0;  // a full restart of the parser (a second parse in one process)
  int result;
  while ((result = getopt_long(argc, argv, ":hv", kOptions, nullptr)) != -1) {
    switch (result) {
      case opHeadless: line.headless = true; break;
      case 'h': line.help = true; break;
      case opVersion: line.version = true; break;
      case 'v': ++verbosity; break;
      case opNoSend: noSend = true; break;
      case opNoPause: line.run.noPause = true; break;
      case opCharset: charset = optarg; charsetGiven = true; break;
      case opTimeout: timeOut = optarg; timeOutGiven = true; break;
      case opDump: dumpPath = optarg; dumpGiven = true; break;
      case opScreenshot: line.screenshot = optarg; break;
      case opResult:
        if (!*optarg && line.error.empty()) line.error = "--result needs a file name";
        line.run.resultPath = FromOsPath(optarg);
        break;
      default:
        if (line.error.empty()) line.error = OptionFault(result, argv[optind - 1], optopt);
        break;
    }
  }
  for (int i = optind; i < argc; ++i) line.params.push_back(FromOsPath(argv[i]));
  if (line.error.empty())
    ApplyValues(line, charsetGiven, charset, timeOutGiven ? &timeOut : nullptr, dumpGiven ? &dumpPath : nullptr,
                verbosity, noSend);
  return line;
}
