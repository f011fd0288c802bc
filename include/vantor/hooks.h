/*
 * Vantor hook libraries: the public C interface.
 *
 * Two kinds of shared libraries can be attached to the server in the
 * [EXTERNAL] section of VANTOR.INI:
 *
 *   ClientCheckDLL1=/path/libmycheck.so   exports HandleClientEvent
 *   EventHookDLL1=/path/libmyhook.so      exports HandleEventHook
 *
 * Client-check libraries take part in access decisions (passwords, home
 * directories, file permissions, ...). Event-hook libraries are told of
 * session events and may replace the reply of a command or hold the command
 * back until they release it with VantorPostMessage().
 *
 * Every call into a library is made on the server's one protocol thread, one
 * at a time. A library must return promptly: to take its time over a
 * decision it answers VNTR_HOOK_HOLD and releases the command later, from any
 * thread, with VantorPostMessage().
 *
 * The record layouts are fixed (offsets are asserted below) so that a library
 * built against this header keeps working with later servers. Text fields
 * are NUL-terminated on entry; a library must keep its answers within the
 * field sizes.
 */
#ifndef VANTOR_HOOKS_H
#define VANTOR_HOOKS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Client-check libraries                                                    */
/* ------------------------------------------------------------------------ */

/* Events passed in ClientEventRecord.event. */
enum VantorClientEvent {
  VNTR_LoginMesFile = 1,   /* answer: text (login message file)            */
  VNTR_HomeDir = 2,        /* answer: text (home directory)                */
  VNTR_Password = 3,       /* in: password given; answer: flag             */
  VNTR_IPAccess = 4,       /* in: address NUL host name; answer: flag      */
  VNTR_WriteFile = 5,      /* in: local path; answer: flag                 */
  VNTR_ReadFile = 6,       /* in: local path; answer: flag                 */
  VNTR_ModifyFile = 7,     /* in: local path; answer: flag                 */
  VNTR_ExecProg = 8,       /* in: local path; answer: flag                 */
  VNTR_ListDir = 9,        /* in: local path; answer: flag                 */
  VNTR_ChangeDir = 10,     /* in: local path; answer: flag                 */
  VNTR_DeleteDir = 11,     /* in: local path; answer: flag                 */
  VNTR_CreateDir = 12,     /* in: local path; answer: flag                 */
  VNTR_HideHidden = 13,    /* answer: bool (aux[0] = 1 or 0)               */
  VNTR_RelPaths = 14,      /* answer: bool                                 */
  VNTR_RatioType = 15,     /* answer: text                                 */
  VNTR_RatioDown = 16,     /* answer: text                                 */
  VNTR_RatioUp = 17,       /* answer: text                                 */
  VNTR_RatioCredit = 18,   /* in: signed change; answer: text (new credit) */
  VNTR_RatioFree = 19,     /* in: local path; answer: flag                 */
  VNTR_QuotaEnable = 20,   /* answer: bool                                 */
  VNTR_QuotaChange = 21,   /* in: signed change; answer: text (bytes used) */
  VNTR_QuotaMax = 22,      /* answer: text                                 */
  VNTR_AlwaysLogin = 23,   /* answer: bool                                 */
  VNTR_OneLoginPerIP = 24, /* answer: bool                                 */
  VNTR_LogClientIP = 25,   /* in: address NUL host name; answer: flag      */
  VNTR_SpeedLimit = 26,    /* answer: text                                 */
  VNTR_PassChange = 27,    /* in: new password; answer: flag               */
  VNTR_TimeOut = 28,       /* answer: text                                 */
  VNTR_MaxUsers = 29,      /* answer: text                                 */
  VNTR_PassChallenge = 30, /* answer: text (the reply line)                */
  VNTR_Connect = 31,       /* in: client address; notification only       */
  VNTR_Close = 32,         /* notification only                            */
  VNTR_MaxLoginPerIP = 33, /* answer: text                                 */
  VNTR_VerifyPasswd = 34,  /* in: password; answer: flag                   */
  VNTR_AppendFile = 35,    /* in: local path; answer: flag                 */
  VNTR_SignOnMes = 36,     /* answer: text (message file)                  */
  VNTR_SignOffMes = 37     /* answer: text (message file)                  */
};

/* The record passed to HandleClientEvent (580 bytes, no gaps). */
typedef struct ClientEventRecord {
  uint32_t event;   /* VantorClientEvent                                    */
  uint32_t flag;    /* the answer; 0 on entry                               */
  char user[40];    /* user name, at most 39 characters                     */
  char aux[512];    /* the query's input and the library's answer           */
  char host[16];    /* IP-home address, dotted; empty it to clear the home  */
  uint32_t session; /* session number                                       */
} ClientEventRecord;

/* Non-zero: the library handled the event (flag and aux are taken over). */
typedef int32_t (*HandleClientEventFn)(ClientEventRecord* record);

/* ------------------------------------------------------------------------ */
/* Event-hook libraries                                                      */
/* ------------------------------------------------------------------------ */

/* Codes passed in EventHookRecord.event. 1 to 21 are notifications; 100 to
 * 109 are asked before a command is carried out and may be answered with
 * VNTR_HOOK_REPLY or VNTR_HOOK_HOLD. */
enum VantorHookEvent {
  VNTR_EV_HostName = 1,          /* text: client host name                    */
  VNTR_EV_Connect = 2,           /*                                           */
  VNTR_EV_Close = 3,             /* elapsed: seconds connected                */
  VNTR_EV_IPRefused = 4,         /* text: client host name, if known          */
  VNTR_EV_TooManyUsers = 5,      /*                                           */
  VNTR_EV_WrongPasswords = 6,    /*                                           */
  VNTR_EV_TimedOut = 7,          /*                                           */
  VNTR_EV_Login = 8,             /* text: password given (anonymous logins)   */
  VNTR_EV_UploadStart = 9,       /* text: local path                          */
  VNTR_EV_UploadDone = 10,       /* text: local path; text2: "ASCII"/"BINARY" */
  VNTR_EV_DownloadStart = 11,    /* text: local path                          */
  VNTR_EV_DownloadDone = 12,     /* text: local path; text2: type             */
  VNTR_EV_UploadFailed = 13,     /* reason: failure number; texts as 10       */
  VNTR_EV_DownloadFailed = 14,   /* reason: failure number; texts as 12       */
  VNTR_EV_Renamed = 15,          /* text2: new name                           */
  VNTR_EV_Deleted = 16,          /* text: local path                          */
  VNTR_EV_DirRemoved = 17,       /* text: local path                          */
  VNTR_EV_DirChanged = 18,       /* text: local path                          */
  VNTR_EV_DirMade = 19,          /* text: local path                          */
  VNTR_EV_UploadProgress = 20,   /* text: file name; text2: type              */
  VNTR_EV_DownloadProgress = 21, /* text: file name; text2: type            */
  VNTR_EV_PreRETR = 100,         /* text: local path                          */
  VNTR_EV_PreSTOR = 101,         /* text: local path                          */
  VNTR_EV_PreAPPE = 102,         /* text: local path                          */
  VNTR_EV_PreSTOU = 103,         /* text: local path                          */
  VNTR_EV_PreRNTO = 104,         /* text2: new name                           */
  VNTR_EV_PreDELE = 105,         /* text: local path                          */
  VNTR_EV_PreRMD = 106,          /* text: local path                          */
  VNTR_EV_PreMKD = 107,          /* text: local path                          */
  VNTR_EV_PreSITE = 108,         /* text: the SITE argument                   */
  VNTR_EV_PreCWD = 109           /* text: local path                          */
};

/* Results of HandleEventHook. Anything other than 2 and 3 carries on. */
enum VantorHookResult {
  VNTR_HOOK_CONTINUE = 0,
  /* Do not carry out the command; reply with the library's text at offset
   * 104 instead: one reply line per LF-separated line, each a complete FTP
   * reply line ("550-...", "550 ..."). */
  VNTR_HOOK_REPLY = 2,
  /* Hold the command until the library calls
   * VantorPostMessage(record->window, record->releaseMessage, session, 0).
   * The hook is then called again with the same record; the command is
   * carried out unless that call answers VNTR_HOOK_REPLY. */
  VNTR_HOOK_HOLD = 3
};

/* The event-hook record (1128 bytes). The library gets a copy; only
 * `answer` and `text` travel back to the session. */
typedef struct EventHookRecord {
  uint32_t event;          /*   0  VantorHookEvent                            */
  uint32_t reason;         /*   4  failure number of events 13 and 14, else 0 */
  uint32_t session;        /*   8  session number                             */
  uint32_t reserved0;      /*  12  0                                          */
  uint64_t bytes64;        /*  16  bytes transferred, full 64-bit count       */
  uint32_t extensionSize;  /*  24  bytes of EventHookRecordExt after the record */
  char reserved1[24];      /*  28  0                                          */
  char clientAddress[16];  /*  52  client address, dotted; "" when IPv6 and too long */
  char localAddress[16];   /*  68  local address, likewise                    */
  uint32_t elapsed;        /*  84  seconds connected (3) or ms of a transfer  */
  uint32_t bytes;          /*  88  bytes transferred, 0xFFFFFFFF when larger  */
  uint32_t window;         /*  92  where to send the release                  */
  uint32_t releaseMessage; /*  96  message number of the release (1041)       */
  uint32_t answer;         /* 100  always 0 here; the reply text is at 104    */
  char text[512];          /* 104  event text in, reply text out              */
  char text2[512];         /* 616  second event text                          */
} EventHookRecord;

/* Follows the EventHookRecord in memory (read it with VantorHookExt). It
 * holds both addresses in full: an IPv6 address of 16 characters or more
 * does not fit the record's fields, which then hold "" rather than a cut
 * address. A later server may make it longer; read only what you know. */
typedef struct EventHookRecordExt {
  uint32_t version;       /*   0  1                                          */
  char clientAddress[48]; /*   4  client address, IPv4 dotted or IPv6        */
  char localAddress[48];  /*  52  local address, likewise                    */
} EventHookRecordExt;

/* The extension of a record, or NULL from a server without one (whose
 * extensionSize, formerly reserved, is 0). */
static inline const EventHookRecordExt* VantorHookExt(const EventHookRecord* record) {
  return record->extensionSize >= sizeof(EventHookRecordExt)
             ? (const EventHookRecordExt*)(const void*)(record + 1)
             : (const EventHookRecordExt*)0;
}

typedef int32_t (*HandleEventHookFn)(EventHookRecord* record);

/* Releases a held command. Exported by the server; safe from any thread.
 * Call it with record->window, record->releaseMessage, the session number
 * and 0. Returns 1 when the release was accepted (a release that finds the
 * server's queue full is kept and delivered a moment later), 0 when the
 * server refused it (no such window, or a message other than the release).
 * A command held for 120 seconds without a release is refused by the
 * server. */
int32_t VantorPostMessage(uint32_t window, uint32_t message, uintptr_t wParam, intptr_t lParam);

/* The names the server looks up in a library. */
#define VANTOR_CLIENT_ENTRY "HandleClientEvent"
#define VANTOR_HOOK_ENTRY "HandleEventHook"

#ifdef __cplusplus
} /* extern "C" */
#define VANTOR_HOOKS_ASSERT(c, m) static_assert(c, m)
#else
#define VANTOR_HOOKS_ASSERT(c, m) _Static_assert(c, m)
#endif

VANTOR_HOOKS_ASSERT(sizeof(ClientEventRecord) == 580, "ClientEventRecord size");
VANTOR_HOOKS_ASSERT(offsetof(ClientEventRecord, event) == 0, "event");
VANTOR_HOOKS_ASSERT(offsetof(ClientEventRecord, flag) == 4, "flag");
VANTOR_HOOKS_ASSERT(offsetof(ClientEventRecord, user) == 8, "user");
VANTOR_HOOKS_ASSERT(offsetof(ClientEventRecord, aux) == 48, "aux");
VANTOR_HOOKS_ASSERT(offsetof(ClientEventRecord, host) == 560, "host");
VANTOR_HOOKS_ASSERT(offsetof(ClientEventRecord, session) == 576, "session");

VANTOR_HOOKS_ASSERT(sizeof(EventHookRecord) == 1128, "EventHookRecord size");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, event) == 0, "event");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, reason) == 4, "reason");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, session) == 8, "session");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, reserved0) == 12, "reserved0");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, bytes64) == 16, "bytes64");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, extensionSize) == 24, "extensionSize");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, reserved1) == 28, "reserved1");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, clientAddress) == 52, "clientAddress");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, localAddress) == 68, "localAddress");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, elapsed) == 84, "elapsed");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, bytes) == 88, "bytes");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, window) == 92, "window");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, releaseMessage) == 96, "releaseMessage");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, answer) == 100, "answer");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, text) == 104, "text");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecord, text2) == 616, "text2");
VANTOR_HOOKS_ASSERT(sizeof(EventHookRecordExt) == 100, "EventHookRecordExt size");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecordExt, clientAddress) == 4, "ext clientAddress");
VANTOR_HOOKS_ASSERT(offsetof(EventHookRecordExt, localAddress) == 52, "ext localAddress");

#undef VANTOR_HOOKS_ASSERT

#endif /* VANTOR_HOOKS_H */
