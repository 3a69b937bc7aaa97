// The server's reading of a statement, as far as the statement fuzz target needs it.
#include "server_lexer_model.h"

namespace larvek::fuzz {
namespace {

bool IsBlank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsWordByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || c >= 0x80;
}

// A byte after "--" that makes it a comment on a Windows-1250 link.
bool EndsCommentDashes(unsigned char c) {
  switch (c) {
    case 0x7F:
    case 0x80:
    case 0x81:
    case 0x83:
    case 0x88:
    case 0x90:
    case 0x98:
    case 0xA0:
      return true;
    default:
      return c <= 0x20;
  }
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Length of the quoted token at text[0]; sets `closed`.
size_t QuotedLength(std::string_view text, bool backslash_escapes, bool& closed) {
  const char quote = text[0];
  size_t i = 1;
  while (i < text.size()) {
    if (backslash_escapes && text[i] == '\\') {
      i += 2;
    } else if (text[i] == quote) {
      if (i + 1 < text.size() && text[i + 1] == quote) {
        i += 2;
      } else {
        closed = true;
        return i + 1;
      }
    } else {
      ++i;
    }
  }
  closed = false;
  return text.size();
}

// Length of the block comment at text[0] (its "/*" already known), whose scan starts at
// `from`; a skipped versioned comment allows one nested comment.
size_t BlockCommentLength(std::string_view text, size_t from, bool nesting, bool& closed) {
  int depth = 0;
  size_t i = from;
  while (i < text.size()) {
    if (text[i] == '*' && i + 1 < text.size() && text[i + 1] == '/') {
      i += 2;
      if (depth == 0) {
        closed = true;
        return i;
      }
      --depth;
    } else if (nesting && depth == 0 && text[i] == '/' && i + 1 < text.size() &&
               text[i + 1] == '*') {
      depth = 1;
      i += 2;
    } else {
      ++i;
    }
  }
  closed = false;
  return text.size();
}

}  // namespace

std::vector<ServerToken> LexLikeServer(std::string_view text, EscapeMode mode,
                                       VersionedComments versioned) {
  const bool backslash_escapes = mode == EscapeMode::kBackslash;
  std::vector<ServerToken> tokens;
  size_t i = 0;
  while (i < text.size()) {
    const std::string_view rest = text.substr(i);
    const unsigned char c = static_cast<unsigned char>(rest[0]);
    ServerTokenKind kind = ServerTokenKind::kCode;
    size_t len = 1;
    bool closed = true;
    if (IsBlank(c)) {
      kind = ServerTokenKind::kBlank;
      while (len < rest.size() && IsBlank(static_cast<unsigned char>(rest[len]))) ++len;
    } else if (IsWordByte(c)) {
      while (len < rest.size() && IsWordByte(static_cast<unsigned char>(rest[len]))) ++len;
    } else if (c == '\'' || c == '"') {
      kind = c == '\'' ? ServerTokenKind::kSingleQuoted : ServerTokenKind::kDoubleQuoted;
      len = QuotedLength(rest, backslash_escapes, closed);
    } else if (c == '`') {
      kind = ServerTokenKind::kBackquoted;
      len = QuotedLength(rest, false, closed);
    } else if (c == '#' ||
               (rest.starts_with("--") && (rest.size() == 2 || EndsCommentDashes(rest[2])))) {
      kind = ServerTokenKind::kLineComment;
      len = rest.find('\n');
      if (len == std::string_view::npos) len = rest.size();
    } else if (rest.starts_with("/*")) {
      const size_t marker = rest.starts_with("/*!") ? 3 : rest.starts_with("/*M!") ? 4 : 0;
      bool versioned_comment = marker > 0 && rest.size() >= marker + 5;
      for (size_t k = marker; versioned_comment && k < marker + 5; ++k)
        versioned_comment = IsDigit(rest[k]);
      if (marker == 0) {
        kind = ServerTokenKind::kBlockComment;
        len = BlockCommentLength(rest, 2, false, closed);
      } else if (versioned_comment && versioned == VersionedComments::kSkipped) {
        kind = ServerTokenKind::kBlockComment;
        len = BlockCommentLength(rest, marker, true, closed);
      }
      // Otherwise "/" is code, and so is what follows.
    }
    tokens.push_back({kind, rest.substr(0, len), closed});
    i += len;
  }
  return tokens;
}

bool IsStringToken(const ServerToken& token) {
  return token.kind == ServerTokenKind::kSingleQuoted ||
         token.kind == ServerTokenKind::kDoubleQuoted;
}

std::string DecodeString(const ServerToken& token, EscapeMode mode) {
  const std::string_view body = token.text.substr(1, token.text.size() - 2);
  const char quote = token.text[0];
  std::string out;
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == quote) {  // the first of a doubled quote
      out += c;
      ++i;
    } else if (c == '\\' && mode == EscapeMode::kBackslash && i + 1 < body.size()) {
      const char e = body[++i];
      switch (e) {
        case '0':
          out += '\0';
          break;
        case 'b':
          out += '\b';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'Z':
          out += '\x1A';
          break;
        case '%':
        case '_':
          out += '\\';
          out += e;
          break;
        default:
          out += e;
      }
    } else {
      out += c;
    }
  }
  return out;
}

const char* KindName(ServerTokenKind kind) {
  switch (kind) {
    case ServerTokenKind::kBlank:
      return "blank";
    case ServerTokenKind::kCode:
      return "code";
    case ServerTokenKind::kSingleQuoted:
      return "'string'";
    case ServerTokenKind::kDoubleQuoted:
      return "\"string\"";
    case ServerTokenKind::kBackquoted:
      return "`name`";
    case ServerTokenKind::kLineComment:
      return "line comment";
    case ServerTokenKind::kBlockComment:
      return "block comment";
  }
  return "?";
}

}  // namespace larvek::fuzz
