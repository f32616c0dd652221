/*
 * A minimal C host of libquorin: lists the attached readers, opens one and
 * prints the card data of the swipes that arrive, until N swipes were read
 * or nothing came for a while. When the reader is pulled out it is closed,
 * and when it is plugged back in it is opened again.
 *
 *   c-host [SECONDS] [N]     (defaults: 30 seconds, 1 swipe)
 *
 * Card data and reader arrivals reach the host on threads of the library,
 * so the callbacks only copy what they get and signal the main thread,
 * which makes every library call.
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
static char lastCard[4096];
static char readerPath[256]; /* the reader this host uses */
static int readerGone = 0;   /* it was pulled out: close it */
static int readerBack = 0;   /* it was plugged back in: open it again */

/* Runs on a library thread; the text is valid only during the call. */
static void onCardData(const char* text) {
    pthread_mutex_lock(&lock);
    snprintf(lastCard, sizeof(lastCard), "%s", text);
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
        /* Copy out what is kept: the library's texts are reused by later calls. */
        char card[4096];
        snprintf(card, sizeof(card), "%s", lastCard);
        pthread_mutex_unlock(&lock);
        /* Field 22 of the card data string is the account number, as masked
         * by the reader. */
        char* field = card;
        for (int i = 1; i < 22 && field != NULL; i++) {
            field = strchr(field, '|');
            field = field != NULL ? field + 1 : NULL;
        }
        char pan[64] = "";
        if (field != NULL) {
            snprintf(pan, sizeof(pan), "%.*s", (int)strcspn(field, "|"), field);
        }
        printf("card: masked PAN %s, masked track 2 %s\n", pan, GetTrack2Masked());
        fflush(stdout);
        pthread_mutex_lock(&lock);
    }
    pthread_mutex_unlock(&lock);

    OnDeviceListChanged(NULL, NULL);
    CloseDevice();
    OnDataReceived(NULL);
    return status;
}
