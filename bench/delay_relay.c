// delay_relay LISTEN_PORT TARGET_PORT DELAY_US: a TCP relay on 127.0.0.1 that
// puts a network's round trip between a client and a server of this machine.
// It passes every connection to LISTEN_PORT (0: any free port) on to
// TARGET_PORT. Each chunk that the client sends, as one read() of the relay
// returns it, is written to the server DELAY_US µs after it was read; what the
// server sends is passed back at once. So each request and its answer take
// DELAY_US longer than without the relay, and chunks in a row are delayed
// alike, not one after another: the bandwidth stays what it was. It prints the
// port it listens on, then serves until it is killed.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { CHUNK_SIZE = 64 * 1024, BACKLOG = 128 };
static const long NS_PER_SECOND = 1000000000L;

// A chunk from the client, due at the server at `due`; one of size 0 marks
// the end of what the client sends.
struct chunk {
    struct chunk* next;
    struct timespec due;
    size_t size;
    char data[];
};

struct connection {
    int client;
    int server;
    pthread_mutex_t mutex;
    pthread_cond_t arrived;
    struct chunk* head;
    struct chunk* tail;
};

static long delay_ns;
static struct sockaddr_in target;

static int write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        data += written;
        size -= (size_t)written;
    }
    return 0;
}

static void enqueue(struct connection* c, struct chunk* chunk) {
    chunk->next = NULL;
    pthread_mutex_lock(&c->mutex);
    if (c->tail == NULL) {
        c->head = chunk;
    } else {
        c->tail->next = chunk;
    }
    c->tail = chunk;
    pthread_cond_signal(&c->arrived);
    pthread_mutex_unlock(&c->mutex);
}

static struct chunk* dequeue(struct connection* c) {
    pthread_mutex_lock(&c->mutex);
    while (c->head == NULL) {
        pthread_cond_wait(&c->arrived, &c->mutex);
    }
    struct chunk* chunk = c->head;
    c->head = chunk->next;
    if (c->head == NULL) {
        c->tail = NULL;
    }
    pthread_mutex_unlock(&c->mutex);
    return chunk;
}

// Reads what the client sends, each chunk stamped with when it is due at the
// server, until the client stops sending or fails. Without memory for a chunk
// the relay ends.
static void* receive_from_client(void* argument) {
    struct connection* c = argument;
    char buffer[CHUNK_SIZE];
    for (;;) {
        const ssize_t size = read(c->client, buffer, sizeof buffer);
        if (size < 0 && errno == EINTR) {
            continue;
        }
        struct chunk* chunk = malloc(sizeof *chunk + (size > 0 ? (size_t)size : 0));
        if (chunk == NULL) {
            perror("delay_relay: malloc");
            exit(1);
        }
        chunk->size = size > 0 ? (size_t)size : 0;
        memcpy(chunk->data, buffer, chunk->size);
        clock_gettime(CLOCK_MONOTONIC, &chunk->due);
        chunk->due.tv_nsec += delay_ns;
        chunk->due.tv_sec += chunk->due.tv_nsec / NS_PER_SECOND;
        chunk->due.tv_nsec %= NS_PER_SECOND;
        enqueue(c, chunk);
        if (chunk->size == 0) {
            return NULL;
        }
    }
}

// Passes what the server sends back to the client at once, until either ends.
static void* pass_back(void* argument) {
    struct connection* c = argument;
    char buffer[CHUNK_SIZE];
    for (;;) {
        const ssize_t size = read(c->server, buffer, sizeof buffer);
        if (size < 0 && errno == EINTR) {
            continue;
        }
        if (size <= 0 || write_all(c->client, buffer, (size_t)size) != 0) {
            break;
        }
    }
    // Ends the client's side too, which ends receive_from_client.
    shutdown(c->client, SHUT_RDWR);
    return NULL;
}

static int connect_to_target(void) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (const struct sockaddr*)&target, sizeof target) != 0) {
        perror("delay_relay: connect");
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

// Serves one connection: writes the client's chunks to the server, each when
// it is due, while pass_back carries the answers.
static void* serve(void* argument) {
    struct connection* c = argument;
    const int no_delay = 1;
    c->server = connect_to_target();
    pthread_t receiver;
    pthread_t back;
    if (c->server < 0 ||
        setsockopt(c->client, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay) != 0 ||
        setsockopt(c->server, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay) != 0 ||
        pthread_create(&receiver, NULL, receive_from_client, c) != 0) {
        perror("delay_relay: connection");
    } else {
        const int passing_back = pthread_create(&back, NULL, pass_back, c) == 0;
        if (!passing_back) {
            perror("delay_relay: thread");
            shutdown(c->client, SHUT_RDWR);
        }
        int writing = 1;
        for (;;) {
            struct chunk* chunk = dequeue(c);
            const size_t size = chunk->size;
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &chunk->due, NULL) == EINTR) {
            }
            if (size > 0 && writing && write_all(c->server, chunk->data, size) != 0) {
                // The rest is read and dropped, till the end of the client's side.
                writing = 0;
                shutdown(c->client, SHUT_RDWR);
            }
            free(chunk);
            if (size == 0) {
                break;
            }
        }
        shutdown(c->server, SHUT_WR);
        pthread_join(receiver, NULL);
        if (passing_back) {
            pthread_join(back, NULL);
        }
    }
    if (c->server >= 0) {
        close(c->server);
    }
    close(c->client);
    pthread_mutex_destroy(&c->mutex);
    pthread_cond_destroy(&c->arrived);
    free(c);
    return NULL;
}

// `text` as a whole number from 0 to `max`, or -1.
static long parse_number(const char* text, long max) {
    char* end;
    errno = 0;
    const long number = strtol(text, &end, 10);
    return errno == 0 && *text != '\0' && *end == '\0' && number >= 0 && number <= max ? number
                                                                                       : -1;
}

int main(int argc, char** argv) {
    const long listen_port = argc == 4 ? parse_number(argv[1], 65535) : -1;
    const long target_port = argc == 4 ? parse_number(argv[2], 65535) : -1;
    const long delay_us = argc == 4 ? parse_number(argv[3], 10000000) : -1;
    if (listen_port < 0 || target_port <= 0 || delay_us < 0) {
        fprintf(stderr, "usage: delay_relay LISTEN_PORT TARGET_PORT DELAY_US\n");
        return 2;
    }
    delay_ns = delay_us * 1000;
    signal(SIGPIPE, SIG_IGN);
    target.sin_family = AF_INET;
    target.sin_port = htons((uint16_t)target_port);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    struct sockaddr_in address = target;
    address.sin_port = htons((uint16_t)listen_port);
    socklen_t length = sizeof address;
    const int yes = 1;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        bind(listener, (const struct sockaddr*)&address, sizeof address) != 0 ||
        listen(listener, BACKLOG) != 0 ||
        getsockname(listener, (struct sockaddr*)&address, &length) != 0) {
        perror("delay_relay: listen");
        return 1;
    }
    printf("%d\n", ntohs(address.sin_port));
    fflush(stdout);

    for (;;) {
        const int client = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno != EINTR) {
                perror("delay_relay: accept");
            }
            continue;
        }
        struct connection* c = calloc(1, sizeof *c);
        pthread_t thread;
        if (c == NULL) {
            perror("delay_relay: calloc");
            close(client);
            continue;
        }
        c->client = client;
        c->server = -1;
        pthread_mutex_init(&c->mutex, NULL);
        pthread_cond_init(&c->arrived, NULL);
        if (pthread_create(&thread, NULL, serve, c) != 0) {
            perror("delay_relay: thread");
            close(client);
            free(c);
            continue;
        }
        pthread_detach(thread);
    }
}
