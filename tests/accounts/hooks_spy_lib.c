/*
 * A spy library for the hook tests: both an event-hook and a client-check
 * library. It appends one line per call to the file named by VANTOR_SPY_LOG,
 * and "load" / "unload" when it is mapped and unmapped, so a test can see
 * every field a library gets and the order of the calls across a reload.
 *
 * Verdicts, read on every call so a test can change them between commands:
 *   VANTOR_SPY_HOLD   event code whose calls answer VNTR_HOOK_HOLD (never
 *                     released by the library: the test releases or waits)
 *   VANTOR_SPY_REPLY  "code:text" - that event code answers VNTR_HOOK_REPLY
 *                     with the text
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vantor/hooks.h"

static void spy_line(const char* line) {
  const char* path = getenv("VANTOR_SPY_LOG");
  if (path == NULL || *path == '\0') return;
  FILE* f = fopen(path, "a");
  if (f == NULL) return;
  fputs(line, f);
  fputc('\n', f);
  fclose(f);
}

__attribute__((constructor)) static void spy_load(void) {
  spy_line("load");
}

__attribute__((destructor)) static void spy_unload(void) {
  spy_line("unload");
}

static long env_number(const char* name) {
  const char* v = getenv(name);
  return v != NULL && *v != '\0' ? strtol(v, NULL, 10) : -1;
}

int32_t HandleEventHook(EventHookRecord* r) {
  char line[1400];
  snprintf(line, sizeof line,
           "event=%u reason=%u session=%u client=%.16s local=%.16s elapsed=%u bytes=%u "
           "bytes64=%llu window=%u message=%u answer=%u text=%.512s text2=%.512s",
           r->event, r->reason, r->session, r->clientAddress, r->localAddress, r->elapsed, r->bytes,
           (unsigned long long)r->bytes64, r->window, r->releaseMessage, r->answer, r->text,
           r->text2);
  spy_line(line);
  if (env_number("VANTOR_SPY_HOLD") == (long)r->event) return VNTR_HOOK_HOLD;
  const char* reply = getenv("VANTOR_SPY_REPLY");
  if (reply != NULL) {
    char* rest = NULL;
    long code = strtol(reply, &rest, 10);
    if (code == (long)r->event && rest != NULL && *rest == ':') {
      snprintf(r->text, sizeof r->text, "%s", rest + 1);
      return VNTR_HOOK_REPLY;
    }
  }
  return VNTR_HOOK_CONTINUE;
}

int32_t HandleClientEvent(ClientEventRecord* r) {
  char line[700];
  snprintf(line, sizeof line, "client event=%u session=%u user=%.40s", r->event, r->session,
           r->user);
  spy_line(line);
  return 0;
}
