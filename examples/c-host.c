/*
 * A minimal C host of libquorin: lists the attached readers, opens one and
 * prints the masked account number and track 2 of the swipes that arrive,
 * until N swipes were read or nothing came for a while. When the reader is
 * pulled out it is closed, and when it is plugged back in it is opened again.
 *
 *   c-host [SECONDS] [N]     (defaults: 30 seconds, 1 swipe)
 *
 * Card data and reader arrivals reach the host on threads of the library,
 * so the callbacks only copy what they get and signal the main thread,
 * which makes every library call.
 *
 * Card data is secret: the host copies only what it may show, a field that
 * the reader masked. A reader that does not mask (or is set not to) sends
 * its clear tracks in the "masked" fields, so a field is taken for masked
 * only when its account number shows the masking.
 */
#include <Quorin.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t arrived = PTHREAD_COND_INITIALIZER;
static int swipes = 0;
static char lastPan[64]; /* what is shown of the last card */
static char lastTrack2[128];
static char readerPath[256]; /* the reader this host uses */
static int readerGone = 0;   /* it was pulled out: close it */
static int readerBack = 0;   /* it was plugged back in: open it again */

/* True when the account number keeps at most its first six and last four
 * digits, with one mask character in place of every other one. */
static int isMasked(const char* pan, size_t n) {
    size_t first = 0;
    size_t last = n;
    while (first < n && pan[first] >= '0' && pan[first] <= '9') {
        first++;
    }
    while (last > first && pan[last - 1] >= '0' && pan[last - 1] <= '9') {
        last--;
    }
    if (first == last || first > 6 || n - last > 4 || pan[first] < '!' || pan[first] > '~') {
        return 0;
    }
    for (size_t i = first; i < last; i++) {
        if (pan[i] != pan[first]) {
            return 0;
        }
    }
    return 1;
}

/* Field n (1 = first) of the card data string and its length. */
static const char* field(const char* text, int n, size_t* length) {
    for (int i = 1; i < n && text != NULL; i++) {
        text = strchr(text, '|');
        text = text != NULL ? text + 1 : NULL;
    }
    *length = text != NULL ? strcspn(text, "|") : 0;
    return text != NULL ? text : "";
}

/* out gets the value when pan (within it) is masked, else what was withheld. */
static void shown(char* out, size_t size, const char* name, const char* value, size_t length,
                  const char* pan, size_t panLength) {
    if (isMasked(pan, panLength)) {
        snprintf(out, size, "masked %s %.*s", name, (int)length, value);
    } else {
        snprintf(out, size, "%s withheld (%zu characters, not masked by the reader)", name, length);
    }
}

/* Runs on a library thread; the text is valid only during the call. */
static void onCardData(const char* text) {
    size_t panLength;
    const char* pan = field(text, 22, &panLength);
    size_t track2Length;
    const char* track2 = field(text, 29, &track2Length); /* ";PAN=..." */
    size_t inTrack = track2Length > 1 ? strcspn(track2 + 1, "=|") : 0;
    pthread_mutex_lock(&lock);
    shown(lastPan, sizeof(lastPan), "PAN", pan, panLength, pan, panLength);
    shown(lastTrack2, sizeof(lastTrack2), "track 2", track2, track2Length, track2 + 1, inTrack);
    swipes++;
    pthread_cond_signal(&arrived);
    pthread_mutex_unlock(&lock);
}

/* Runs on a library thread, one change at a time, in the order they happen. */
static void onDeviceListChanged(void* obj, const char* path, long change) {
    (void)obj;
    pthread_mutex_lock(&lock);
    if (strcmp(path, readerPath) == 0) {
        if (change == ZEDRA_DEVICE_ARRIVED) {
            readerBack = 1;
        } else {
            readerGone = 1;
        }
        pthread_cond_signal(&arrived);
    }
    pthread_mutex_unlock(&lock);
}

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 30;
    int wanted = argc > 2 ? atoi(argv[2]) : 1;

    /* Registered before the list is read, so no arrival is missed. */
    OnDeviceListChanged(onDeviceListChanged, NULL);
    const char* list = GetDeviceList();
    printf("readers: %s\n", list[0] != '\0' ? list : "(none)");
    if (list[0] == '\0') {
        return 1;
    }
    /* The first listed reader (paths are separated by ","). */
    pthread_mutex_lock(&lock);
    snprintf(readerPath, sizeof(readerPath), "%.*s", (int)strcspn(list, ","), list);
    pthread_mutex_unlock(&lock);

    /* First-generation callbacks may be registered before the open. */
    OnDataReceived(onCardData);
    if (OpenDevice(readerPath) != 0) {
        fprintf(stderr, "c-host: cannot open a reader\n");
        return 1;
    }
    printf("opened: %s (product ID %s)\n", GetDeviceName(), GetProductID());
    printf("waiting for a card\n");
    fflush(stdout);

    int seen = 0;
    int status = 0;
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    pthread_mutex_lock(&lock);
    while (seen < wanted) {
        while (swipes == seen && !readerGone && !readerBack) {
            if (pthread_cond_timedwait(&arrived, &lock, &deadline) != 0) {
                break;
            }
        }
        if (readerGone) {
            readerGone = 0;
            pthread_mutex_unlock(&lock);
            CloseDevice();
            printf("reader removed: %s; waiting for it to come back\n", readerPath);
            fflush(stdout);
            pthread_mutex_lock(&lock);
            continue;
        }
        if (readerBack) {
            readerBack = 0;
            pthread_mutex_unlock(&lock);
            /* OpenDevice returns 0 at once while the old reader is still open. */
            CloseDevice();
            long opened = OpenDevice(readerPath);
            printf("reader back: %s %s\n", readerPath,
                   opened == 0 ? "reopened" : "cannot be opened");
            fflush(stdout);
            pthread_mutex_lock(&lock);
            continue;
        }
        if (swipes == seen) {
            fprintf(stderr, "c-host: no card within %d seconds\n", seconds);
            status = 1;
            break;
        }
        seen = swipes;
        printf("card: %s, %s\n", lastPan, lastTrack2);
        fflush(stdout);
    }
    pthread_mutex_unlock(&lock);

    OnDeviceListChanged(NULL, NULL);
    CloseDevice();
    OnDataReceived(NULL);
    return status;
}
