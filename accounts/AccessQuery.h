// The access query record: how sessions, ratio and quota objects ask the
// account store a question.
//
// The asker fills an `AccessQuery` (code, user, address, aux, session) and
// sends ACCESS_QUERY_MESSAGE (below) synchronously to the main
// window with the record's address as lParam. The answer is in the same
// record when the send returns: `flag` (0 = no / not answered) and, for text
// answers, `aux`. The layout is fixed (packed, 578 bytes) because the
// client-check libraries see the same fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vantor {

// The main window's message for a query (ftp/RBusMessages.h lists the
// window's other numbers); lParam: AccessQuery*, sent synchronously.
inline constexpr uint32_t ACCESS_QUERY_MESSAGE = 1028;

// Query codes. Codes 18, 19, 22, 23 and anything outside 7..47 are never
// answered and never reach the client-check libraries.
enum QueryCode : uint32_t {
  QC_WRITE_FILE = 7,         // aux: local path -> flag
  QC_APPEND_FILE = 8,        // aux: local path -> flag
  QC_READ_FILE = 9,          // aux: local path -> flag
  QC_MODIFY_FILE = 10,       // aux: local path -> flag (delete, rename, replace)
  QC_IP_ACCESS = 11,         // aux: address, NUL, host, NUL -> flag; no-rule marker
  QC_CHANGE_DIR = 12,        // aux: local path -> flag
  QC_DELETE_DIR = 13,        // aux: local path -> flag
  QC_CREATE_DIR = 14,        // aux: directory to create -> flag (its parent is checked)
  QC_PASSWORD = 15,          // aux: password / OTP response -> flag
  QC_LOGIN_MES_FILE = 16,    // -> text of LoginMesFile
  QC_HOME_DIR = 17,          // -> text of HomeDir
  QC_EXEC_PROGRAM = 20,      // aux: local path -> flag
  QC_LIST_DIR = 21,          // aux: local path -> flag
  QC_HIDE_HIDDEN = 24,       // -> bool of HideHidden
  QC_REL_PATHS = 25,         // -> bool of RelPaths
  QC_RATIO_TYPE = 26,        // -> text (only with RatiosEnable true)
  QC_RATIO_DOWN = 27,        // -> text of RatioDown
  QC_RATIO_UP = 28,          // -> text of RatioUp
  QC_RATIO_CREDIT = 29,      // aux: signed change ("%lf") -> text: new credit
  QC_RATIO_FREE = 30,        // aux: local path -> flag
  QC_QUOTA_ENABLED = 31,     // -> bool of QuotaEnable
  QC_QUOTA_CHANGE = 32,      // aux: signed change in bytes -> text: bytes in use
  QC_QUOTA_MAXIMUM = 33,     // -> text: maximum bytes
  QC_ALWAYS_LOGIN = 34,      // -> bool of AlwaysAllowLogin
  QC_ONE_LOGIN_PER_IP = 35,  // -> bool of OneLoginPerIP
  QC_MAX_LOGIN_PER_IP = 36,  // -> text of MaxUsersLoginPerIP
  QC_LOG_CLIENT_IP = 37,     // aux: address, NUL, host, NUL -> flag (0 = do not log); marker
  QC_SPEED_LIMIT = 38,       // -> text of SpeedLimit
  QC_VERIFY_PASSWORD = 39,   // aux: current password -> flag
  QC_CHANGE_PASSWORD = 40,   // aux: new password -> flag; aux = stored form
  QC_TIME_OUT = 41,          // -> text of TimeOut
  QC_MAX_USERS = 42,         // -> text of MaxNrUsers; address cleared without "@N" account
  QC_PASS_CHALLENGE = 43,    // -> flag; aux = complete reply line
  QC_CONNECT = 44,           // client-check libraries only (user empty)
  QC_CLOSE = 45,             // client-check libraries only
  QC_SIGN_ON_MES = 46,       // -> flag; aux = sign-on message file
  QC_SIGN_OFF_MES = 47,      // -> flag; aux = sign-off message file
  // Our own, past QC_LAST: the libraries never see it.
  QC_REQUIRE_TLS = 48,      // -> bool of RequireTLS
  QC_ACCOUNT_ENABLED = 49,  // -> flag 0 when the account's Enable is off
};

constexpr uint32_t QC_FIRST = 7;
constexpr uint32_t QC_LAST = 47;

constexpr size_t ACCESS_USER_SIZE = 50;  // 49 characters and NUL
constexpr size_t ACCESS_AUX_SIZE = 512;
constexpr size_t ACCESS_NO_RULE_INDEX = ACCESS_AUX_SIZE - 1;  // aux[511], record offset 573

#pragma pack(push, 1)
struct AccessQuery {
  uint32_t code;                // QueryCode
  uint32_t flag;                // answer; the store sets it to 0 before answering
  char user[ACCESS_USER_SIZE];  // account name as given, NUL-terminated
  uint32_t address;             // IP home the client connected to, first octet high; 0 = none
  char aux[ACCESS_AUX_SIZE];    // input and output text; aux[511] = no-rule marker
  uint32_t session;             // session number of the asker
};
#pragma pack(pop)

static_assert(sizeof(AccessQuery) == 578, "AccessQuery is 578 bytes");
static_assert(offsetof(AccessQuery, code) == 0);
static_assert(offsetof(AccessQuery, flag) == 4);
static_assert(offsetof(AccessQuery, user) == 8);
static_assert(offsetof(AccessQuery, address) == 58);
static_assert(offsetof(AccessQuery, aux) == 62);
static_assert(offsetof(AccessQuery, aux) + ACCESS_NO_RULE_INDEX == 573);
static_assert(offsetof(AccessQuery, session) == 574);

// Small helpers for filling and reading the record; all of them keep the
// fields NUL-terminated and never write past them.

inline void ClearAccessQuery(AccessQuery& q) {
  std::memset(&q, 0, sizeof q);
}

// Copies at most 49 characters of `user`.
inline void SetQueryUser(AccessQuery& q, std::string_view user) {
  size_t n = user.size() < ACCESS_USER_SIZE - 1 ? user.size() : ACCESS_USER_SIZE - 1;
  if (n > 0) std::memcpy(q.user, user.data(), n);  // an empty view may carry no pointer
  std::memset(q.user + n, 0, ACCESS_USER_SIZE - n);
}

// Copies at most 510 characters of `text`, clearing the rest of aux
// (including the no-rule marker).
inline void SetQueryAux(AccessQuery& q, std::string_view text) {
  size_t n = text.size() < ACCESS_AUX_SIZE - 2 ? text.size() : ACCESS_AUX_SIZE - 2;
  if (n > 0) std::memcpy(q.aux, text.data(), n);
  std::memset(q.aux + n, 0, ACCESS_AUX_SIZE - n);
}

// A query of `code` asked by session `session` for `user` on IP home
// `address`, aux = `aux`; every other field zero. A session asks with its
// current login; a worker with the snapshot its job was given.
inline AccessQuery MakeAccessQuery(uint32_t code, std::string_view user, uint32_t address,
                                   uint32_t session, std::string_view aux = {}) {
  AccessQuery q;
  ClearAccessQuery(q);
  q.code = code;
  SetQueryUser(q, user);
  q.address = address;
  SetQueryAux(q, aux);
  q.session = session;
  return q;
}

// aux = first, NUL, second, NUL (the form of codes 11 and 37). Each part is
// cut so that both fit before the marker byte.
inline void SetQueryAux2(AccessQuery& q, std::string_view first, std::string_view second) {
  std::memset(q.aux, 0, ACCESS_AUX_SIZE);
  size_t room = ACCESS_AUX_SIZE - 3;  // two NULs and the marker
  size_t n1 = first.size() < room ? first.size() : room;
  if (n1 > 0) std::memcpy(q.aux, first.data(), n1);
  room -= n1;
  size_t n2 = second.size() < room ? second.size() : room;
  if (n2 > 0) std::memcpy(q.aux + n1 + 1, second.data(), n2);
}

inline std::string_view QueryUser(const AccessQuery& q) {
  return std::string_view(q.user, strnlen(q.user, ACCESS_USER_SIZE));
}
inline std::string_view QueryAux(const AccessQuery& q) {
  return std::string_view(q.aux, strnlen(q.aux, ACCESS_AUX_SIZE));
}
// The second NUL-terminated string of aux (host name of codes 11 and 37).
inline std::string_view QueryAux2(const AccessQuery& q) {
  size_t first = strnlen(q.aux, ACCESS_AUX_SIZE);
  if (first + 1 >= ACCESS_AUX_SIZE) return {};
  const char* p = q.aux + first + 1;
  return std::string_view(p, strnlen(p, ACCESS_AUX_SIZE - first - 1));
}
inline bool QueryNoRule(const AccessQuery& q) {
  return q.aux[ACCESS_NO_RULE_INDEX] != 0;
}
// The answer of a Bool query (aux[0] == 1).
inline bool QueryBool(const AccessQuery& q) {
  return q.aux[0] == 1;
}

}  // namespace vantor
