/*
 * An event-hook library that holds every RETR for a while and then lets it
 * go, from a thread of its own, the way a library would that asks an outside
 * system before a download.
 *
 * The delay is VANTOR_HOLDRETR_MS milliseconds (300 when unset). The first
 * call for a RETR answers VNTR_HOOK_HOLD and starts a thread; after the
 * delay the thread marks the session released and calls VantorPostMessage.
 * The server then calls the hook again with the same record, and this time
 * the library lets the command run.
 *
 * Threads are joined when the library is unloaded, so no thread is left
 * running in unmapped code.
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "vantor/hooks.h"

#define MAX_HELD 64
#define STALE_SECONDS 600

enum { FREE, WAITING, RELEASED };

struct hold {
  int state;
  int joined;      /* the thread has been joined */
  time_t released; /* when the release was sent */
  uint32_t session;
  uint32_t window;
  uint32_t message;
  pthread_t thread;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct hold holds[MAX_HELD];

static long delay_ms(void) {
  const char* env = getenv("VANTOR_HOLDRETR_MS");
  long ms = env != NULL ? strtol(env, NULL, 10) : 300;
  return ms < 0 ? 0 : ms;
}

static void* release_later(void* arg) {
  struct hold* h = arg;
  long ms = delay_ms();
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
  pthread_mutex_lock(&lock);
  h->state = RELEASED;
  h->released = time(NULL);
  uint32_t window = h->window, message = h->message, session = h->session;
  pthread_mutex_unlock(&lock);
  VantorPostMessage(window, message, session, 0);
  return NULL;
}

/* Joins threads that have sent their release, and forgets releases whose
 * session never came back (it closed meanwhile). Called with the lock held;
 * a released thread only has its return left, so the join is short. */
static void reap(void) {
  time_t now = time(NULL);
  for (int i = 0; i < MAX_HELD; ++i) {
    if (holds[i].state != RELEASED) continue;
    if (!holds[i].joined) {
      pthread_join(holds[i].thread, NULL);
      holds[i].joined = 1;
    }
    if (now - holds[i].released > STALE_SECONDS) memset(&holds[i], 0, sizeof holds[i]);
  }
}

int32_t HandleEventHook(EventHookRecord* rec) {
  if (rec->event != VNTR_EV_PreRETR) return VNTR_HOOK_CONTINUE;
  int32_t result = VNTR_HOOK_CONTINUE;
  pthread_mutex_lock(&lock);
  reap();
  for (int i = 0; i < MAX_HELD; ++i) {
    /* The second call for a released session: let the command run. */
    if (holds[i].state == RELEASED && holds[i].session == rec->session) {
      memset(&holds[i], 0, sizeof holds[i]);
      pthread_mutex_unlock(&lock);
      return VNTR_HOOK_CONTINUE;
    }
  }
  for (int i = 0; i < MAX_HELD; ++i) {
    if (holds[i].state != FREE) continue;
    holds[i].state = WAITING;
    holds[i].joined = 0;
    holds[i].session = rec->session;
    holds[i].window = rec->window;
    holds[i].message = rec->releaseMessage;
    if (pthread_create(&holds[i].thread, NULL, release_later, &holds[i]) == 0) {
      result = VNTR_HOOK_HOLD;
    } else {
      memset(&holds[i], 0, sizeof holds[i]);
    }
    break;
  }
  /* No free slot: rather let the download run than refuse it. */
  pthread_mutex_unlock(&lock);
  return result;
}

__attribute__((destructor)) static void join_all(void) {
  for (int i = 0; i < MAX_HELD; ++i) {
    if (holds[i].state != FREE && !holds[i].joined) pthread_join(holds[i].thread, NULL);
  }
}
