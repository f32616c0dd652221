/*
 * A minimal C host of libquorin: lists the attached readers, opens one and
 * prints the card data of the swipes that arrive, until N swipes were read
 * or nothing came for a while.
 *
 *   c-host [SECONDS] [N]     (defaults: 30 seconds, 1 swipe)
 *
 * Card data reaches the host on a thread the library starts for each call,
 * so the callback only copies the text and signals the main thread.
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

/* Runs on a library thread; the text is valid only during the call. */
static void onCardData(const char* text) {
    pthread_mutex_lock(&lock);
    snprintf(lastCard, sizeof(lastCard), "%s", text);
    swipes++;
    pthread_cond_signal(&arrived);
    pthread_mutex_unlock(&lock);
}

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 30;
    int wanted = argc > 2 ? atoi(argv[2]) : 1;

    const char* list = GetDeviceList();
    printf("readers: %s\n", list[0] != '\0' ? list : "(none)");
    if (list[0] == '\0') {
        return 1;
    }

    /* First-generation callbacks may be registered before the open. */
    OnDataReceived(onCardData);
    if (OpenDevice(NULL) != 0) {
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
        while (swipes == seen) {
            if (pthread_cond_timedwait(&arrived, &lock, &deadline) != 0) {
                break;
            }
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

    CloseDevice();
    OnDataReceived(NULL);
    return status;
}
