/*
 * A client-check library that keeps accounts in a text file of its own, so
 * that users can exist without a section in VANTOR.INI.
 *
 * The file is named by the environment variable VANTOR_USERS_FILE, or else
 * is "vantor-users.txt" next to this library. One account per line:
 *
 *   name:password:home directory[:rights]
 *
 * Lines starting with '#' are comments. The home directory may contain a
 * drive colon; the rights field is recognised by its letters. The home directory is a local path
 * ("C:\srv\ftp\joe" or "/srv/ftp/joe" as in VANTOR.INI). Rights, optional,
 * are letters granting access below the home directory: R read, list and
 * change directory; W write, append and create directories; D delete,
 * rename and remove directories. The file is read at every call, so edits
 * take effect at once.
 *
 * The library answers the password events, the home directory and, for
 * accounts with rights, the file events; every other question, and every
 * user not in the file, is left to the server.
 */
#define _GNU_SOURCE
#include <ctype.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vantor/hooks.h"

#define FIELD 512

struct account {
  char password[FIELD];
  char home[FIELD];
  char rights[16];
};

static void users_file(char* out, size_t size) {
  const char* env = getenv("VANTOR_USERS_FILE");
  if (env != NULL && *env != '\0') {
    snprintf(out, size, "%s", env);
    return;
  }
  Dl_info info;
  out[0] = '\0';
  if (dladdr((void*)&users_file, &info) == 0 || info.dli_fname == NULL) return;
  const char* slash = strrchr(info.dli_fname, '/');
  if (slash == NULL) {
    snprintf(out, size, "vantor-users.txt");
  } else {
    snprintf(out, size, "%.*s/vantor-users.txt", (int)(slash - info.dli_fname), info.dli_fname);
  }
}

/* The user field may carry an "@N" suffix of an IP-home account. */
static int same_user(const char* wanted, const char* name, size_t nameLen) {
  size_t n = strcspn(wanted, "@");
  if (n != nameLen) return 0;
  return strncasecmp(wanted, name, n) == 0;
}

static int find_account(const char* user, struct account* acc) {
  char path[FIELD];
  char line[3 * FIELD];
  int found = 0;
  users_file(path, sizeof path);
  FILE* f = path[0] != '\0' ? fopen(path, "r") : NULL;
  if (f == NULL) return 0;
  while (!found && fgets(line, sizeof line, f) != NULL) {
    line[strcspn(line, "\r\n")] = '\0';
    if (line[0] == '#' || line[0] == '\0') continue;
    char* p1 = strchr(line, ':');
    if (p1 == NULL || !same_user(user, line, (size_t)(p1 - line))) continue;
    char* p2 = strchr(p1 + 1, ':');
    if (p2 == NULL) continue;
    *p2 = '\0';
    /* The home directory may hold a drive colon: rights are the text after
     * the last colon only when it is made of the letters R, W and D. */
    char* home = p2 + 1;
    char* p3 = strrchr(home, ':');
    if (p3 != NULL && p3[1] != '\0' && strspn(p3 + 1, "RWDrwd") == strlen(p3 + 1)) {
      *p3 = '\0';
    } else {
      p3 = NULL;
    }
    snprintf(acc->password, sizeof acc->password, "%s", p1 + 1);
    snprintf(acc->home, sizeof acc->home, "%s", home);
    snprintf(acc->rights, sizeof acc->rights, "%s", p3 != NULL ? p3 + 1 : "");
    found = 1;
  }
  fclose(f);
  return found;
}

/* Both paths in drive form or both POSIX; '/' and '\' are the same here. */
static int below_home(const char* path, const char* home) {
  size_t n = strlen(home);
  while (n > 0 && (home[n - 1] == '\\' || home[n - 1] == '/')) --n;
  if (n == 0) return 0;
  for (size_t i = 0; i < n; ++i) {
    char a = path[i], b = home[i];
    if (a == '\0') return 0;
    if ((a == '\\' || a == '/') && (b == '\\' || b == '/')) continue;
    if (tolower((unsigned char)a) != tolower((unsigned char)b)) return 0;
  }
  return path[n] == '\0' || path[n] == '\\' || path[n] == '/';
}

static char right_for(uint32_t event) {
  switch (event) {
    case VNTR_ReadFile:
    case VNTR_ListDir:
    case VNTR_ChangeDir:
      return 'R';
    case VNTR_WriteFile:
    case VNTR_AppendFile:
    case VNTR_CreateDir:
      return 'W';
    case VNTR_ModifyFile:
    case VNTR_DeleteDir:
      return 'D';
    default:
      return 0;
  }
}

int32_t HandleClientEvent(ClientEventRecord* rec) {
  struct account acc;
  char user[sizeof rec->user + 1];
  memcpy(user, rec->user, sizeof rec->user);
  user[sizeof rec->user] = '\0';
  if (user[0] == '\0' || !find_account(user, &acc)) return 0;

  switch (rec->event) {
    case VNTR_Password:
    case VNTR_VerifyPasswd:
      rec->flag = strncmp(rec->aux, acc.password, sizeof rec->aux) == 0 ? 1 : 0;
      return 1;
    case VNTR_HomeDir:
      if (acc.home[0] == '\0') return 0;
      snprintf(rec->aux, sizeof rec->aux, "%s", acc.home);
      rec->flag = 1;
      return 1;
    default: {
      char right = right_for(rec->event);
      if (right == 0 || acc.rights[0] == '\0') return 0;
      char path[sizeof rec->aux + 1];
      memcpy(path, rec->aux, sizeof rec->aux);
      path[sizeof rec->aux] = '\0';
      int granted = strchr(acc.rights, right) != NULL ||
                    strchr(acc.rights, tolower((unsigned char)right)) != NULL;
      rec->flag = granted && below_home(path, acc.home) ? 1 : 0;
      return 1;
    }
  }
}
