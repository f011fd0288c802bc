/*
 * An event-hook library that refuses uploads (STOR, APPE, STOU) of files
 * whose name matches a pattern, with a multi-line reply of its own.
 *
 * The pattern comes from the environment variable VANTOR_UPLOADGUARD_PATTERN
 * ("*.exe" when unset): '*' matches any run of characters, '?' one, letters
 * compare without regard to case.
 */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vantor/hooks.h"

static int match(const char* text, const char* pat) {
  if (*pat == '\0') return *text == '\0';
  if (*pat == '*') {
    for (const char* t = text;; ++t) {
      if (match(t, pat + 1)) return 1;
      if (*t == '\0') return 0;
    }
  }
  if (*text == '\0') return 0;
  if (*pat != '?' && tolower((unsigned char)*pat) != tolower((unsigned char)*text)) return 0;
  return match(text + 1, pat + 1);
}

int32_t HandleEventHook(EventHookRecord* rec) {
  if (rec->event != VNTR_EV_PreSTOR && rec->event != VNTR_EV_PreAPPE &&
      rec->event != VNTR_EV_PreSTOU) {
    return VNTR_HOOK_CONTINUE;
  }
  const char* pattern = getenv("VANTOR_UPLOADGUARD_PATTERN");
  if (pattern == NULL || *pattern == '\0') pattern = "*.exe";

  char path[sizeof rec->text + 1];
  memcpy(path, rec->text, sizeof rec->text);
  path[sizeof rec->text] = '\0';
  const char* name = strrchr(path, '\\');
  name = name != NULL ? name + 1 : path;
  if (!match(name, pattern)) return VNTR_HOOK_CONTINUE;

  /* The reply: complete FTP reply lines separated by LF. */
  snprintf(rec->text, sizeof rec->text,
           "553-Uploads named %.200s are not accepted here.\n"
           "553 Files matching %.100s are refused by the upload guard.",
           name, pattern);
  return VNTR_HOOK_REPLY;
}
