/*
 * An event-hook library that changes which file a transfer uses.
 *
 * Uploads (STOR, APPE, STOU) are stored under the name the client gave plus
 * the suffix in VANTOR_REWRITE_UPLOAD (".quarantine" when unset), so that a
 * scanner can look at them before they are renamed into place. Downloads
 * (RETR) are served from the requested name plus the suffix in
 * VANTOR_REWRITE_DOWNLOAD when it is set (for example ".signed", to hand out
 * a signed copy); the server answers "450 Cannot open file" when that file
 * does not exist.
 *
 * A name that would not fit the record is left as it is.
 */
#include <stdlib.h>
#include <string.h>

#include "vantor/hooks.h"

static void add_suffix(EventHookRecord* rec, const char* suffix) {
  size_t len = strnlen(rec->text, sizeof rec->text);
  size_t add = strlen(suffix);
  if (add == 0 || len + add >= sizeof rec->text) return;
  memcpy(rec->text + len, suffix, add + 1);
}

int32_t HandleEventHook(EventHookRecord* rec) {
  switch (rec->event) {
    case VNTR_EV_PreSTOR:
    case VNTR_EV_PreAPPE:
    case VNTR_EV_PreSTOU: {
      const char* suffix = getenv("VANTOR_REWRITE_UPLOAD");
      add_suffix(rec, suffix != NULL ? suffix : ".quarantine");
      break;
    }
    case VNTR_EV_PreRETR: {
      const char* suffix = getenv("VANTOR_REWRITE_DOWNLOAD");
      if (suffix != NULL) add_suffix(rec, suffix);
      break;
    }
    default:
      break;
  }
  return VNTR_HOOK_CONTINUE;
}
