// TLxSocket: line and stream I/O on the connection, under the time-out and a cancel.
#include "sock/LxSock.h"

#include <algorithm>
#include <cstring>

#include "sock/LxSockInternal.h"

namespace {
constexpr int kMaxLine = 65536;
}  // namespace

// ---- line and stream I/O ---------------------------------------------------------

void TLxSocket::SendBuffer(const char* bytes, uint16_t length) {
  ReportStatus(4, "Sending Buffer");
  TWaitScope wait(*this, true);
  if (!CancelRequested) {
    size_t len = length;
    if (len == 0) {
      len = strnlen(bytes, 0x10000);
      if (len > 0xFFFF) throw RangeError();
    }
    size_t remaining = len;
    do {
      int n = SockSend(bytes + (len - remaining), static_cast<int>(remaining));
      if (n == 0) break;
      if (n > 0) {
        remaining -= static_cast<size_t>(n);
        SendProgress();
      } else {
        CheckSocketError(WSAEWOULDBLOCK);
        // The wait runs in the pump, so that the time-out and a cancel end it: a peer
        // that stops reading must not hold the send for ever.
        if (TlsActive()) WaitReady(tls_->Want());
        else WaitWritable();
      }
    } while (remaining > 0 && !CancelRequested);
  }
  if (CancelRequested) {
    CancelRequested = false;
    throw EAbortError("Socket send aborted");
  }
}

void TLxSocket::Write(const std::string& text) {
  ReportStatus(8, "Write");
  size_t n = std::min<size_t>(text.size(), kMaxLine);
  std::memcpy(IoBuffer, text.data(), n);
  IoBuffer[n] = '\0';
  SendBuffer(IoBuffer, 0);
}

void TLxSocket::Writeln(const std::string& text) {
  ReportStatus(8, "Writeln");
  Write(text + "\r\n");
}

std::string TLxSocket::ReadLn() {
  ReportStatus(8, "ReadLn");
  std::string line;
  int consumed = 0;
  TWaitScope wait(*this, false);
  auto& pump = TMessagePump::Instance();
  int k = -1;  // offset of the line feed in IoBuffer
  for (;;) {
    if (consumed > kMaxLine) throw ELineTooLong("Range check error");
    int ask = std::min<int>(kMaxLine, static_cast<int>(sizeof IoBuffer) - consumed - 1);
    int n = SockRecv(IoBuffer + consumed, ask, WS_MSG_PEEK);
    bool wait = false;
    if (n == 0) return std::string();  // the peer closed
    if (n > 0) {
      // The bytes of the line taken before sit in line; only the new ones can hold the LF.
      const void* lf = std::memchr(IoBuffer + consumed, '\n', static_cast<size_t>(n));
      if (lf) {
        k = static_cast<int>(static_cast<const char*>(lf) - IoBuffer);
        break;
      }
      int got = SockRecv(IoBuffer + consumed, n, 0);
      if (got < 0) {
        CheckSocketError(WSAEWOULDBLOCK);
      } else {
        line.append(IoBuffer + consumed, static_cast<size_t>(got));
        consumed += got;
      }
    } else {
      LastErrorNo = WSAGetLastError();
      if (LastErrorNo == WSAENOTCONN) return std::string();  // as for a closed peer
      CheckSocketError(WSAEWOULDBLOCK);
      wait = true;
    }
    pump.ProcessMessages();
    if (CancelRequested) break;
    if (wait) {
      // A TLS session that must write first (a renegotiation) waits for room, which
      // the layer reports only when asked; a read wait is armed by the last recv.
      if (TlsActive() && tls_->Want() == TTlsWant::Write) WsArmWriteNotice(SocketHandle);
      pump.WaitMessage(-1);
    }
  }
  if (CancelRequested) {
    CancelRequested = false;
    throw EAbortError("Socket readln aborted");
  }
  int rest = k + 1 - consumed;
  while (rest > 0) {
    int got = SockRecv(IoBuffer + consumed, rest, 0);
    if (got <= 0) {
      if (got < 0) CheckSocketError(WSAEWOULDBLOCK);
      if (got == 0) break;
      continue;
    }
    line.append(IoBuffer + consumed, static_cast<size_t>(got));
    consumed += got;
    rest -= got;
  }
  if (OnTrace && !Destroying()) {
    try {
      OnTrace(this, TTraceKind::Received, 0, line);
    } catch (...) {
    }
  }
  return line;
}

std::string TLxSocket::Transaction(const std::string& command) {
  ReportStatus(8, "Transaction");
  ReplyNumber = 0;
  if (OnTrace && !Destroying()) {
    const std::string shown = MaskCredentials(command, SecretCommand);
    try {
      OnTrace(this, TTraceKind::Sent, 0, shown);
    } catch (...) {
      // Tracing never fails the operation that traced.
    }
  }
  SecretCommand = false;
  Writeln(command);
  std::string line = ReadLn();
  TransactionReply = line;
  if (!line.empty()) {
    ReportStatus(1, line);
    ReplyNumber = ReplyNumberOf(line);
  }
  return TransactionReply;
}

void TLxSocket::SendStream(TStream& stream) {
  ReportStatus(8, "SendStream");
  stream.SetPosition(0);
  auto& pump = TMessagePump::Instance();
  TWaitScope wait(*this, true);
  if (!CancelRequested) {
    BytesSent = 0;
    int64_t size = stream.Size();
    BytesTotal = size;
    do {
      int64_t want = std::min<int64_t>(size - stream.Position(), kMaxLine);
      int c = static_cast<int>(std::max<int64_t>(stream.Read(IoBuffer, std::max<int64_t>(want, 0)), 0));
      int remaining = c;
      do {
        int n = SockSend(IoBuffer + (c - remaining), remaining);
        if (n == 0) return;  // the rest is not sent
        if (n > 0) {
          remaining -= n;
          BytesSent += n;
          SendProgress();
          if (OnPacketSent) OnPacketSent(this);
        } else {
          CheckSocketError(WSAEWOULDBLOCK);
          if (TlsActive() && tls_->Want() == TTlsWant::Read) {
            // The session must read before it can write on (a renegotiation).
            WaitReady(TTlsWant::Read);
          } else {
            // A full socket: block in the pump until it takes bytes again (or a cancel).
            WaitWritable();
            continue;
          }
        }
        pump.ProcessMessages();
      } while (remaining > 0 && !CancelRequested);
    } while (stream.Position() != size && !CancelRequested);
  }
  if (CancelRequested) {
    CancelRequested = false;
    throw EAbortError("Socket send aborted");
  }
}

bool TLxSocket::DataAvailable() {
  ReportStatus(8, "Data Available");
  // Peeks into a byte of its own: a notice can ask this while ReadLn holds IoBuffer.
  char byte;
  return SockRecv(&byte, 1, WS_MSG_PEEK) >= 1;
}

void TLxSocket::ClearInput() {
  ReportStatus(8, "Clearing Input");
  SockRecv(IoBuffer, kMaxLine, 0);
}
