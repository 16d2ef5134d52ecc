/* arc4random_buf for the statically linked libexpat.
 *
 * libexpat draws the salt of its hash tables (its defence against
 * hash-flooding documents) from arc4random_buf when the C library it was
 * built against has one. glibc added that function only in 2.36, so a
 * libexpat.a built there would make the extension refuse to load on any older
 * glibc. This definition, linked into the extension before the C library is
 * searched, fills the buffer from the kernel's getrandom() (glibc 2.25 and
 * later) instead, exactly as glibc's own arc4random_buf does. Hidden
 * visibility keeps it private to the extension: nothing else in the process
 * sees it. */

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

__attribute__((visibility("hidden"))) void arc4random_buf(void* buffer, size_t size);

/* The kernel's random device, for kernels older than getrandom (3.17). */
static size_t read_urandom(unsigned char* out, size_t size) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, out + done, size - done);
        if (n > 0) {
            done += (size_t)n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    close(fd);
    return done;
}

void arc4random_buf(void* buffer, size_t size) {
    unsigned char* out = buffer;
    size_t done = 0;
    while (done < size) {
        ssize_t n = getrandom(out + done, size - done, 0);
        if (n > 0) {
            done += (size_t)n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (done < size) done += read_urandom(out + done, size - done);
    if (done < size) {
        /* No kernel source of randomness at all: the clock and an address, the
         * same last resort libexpat itself uses when built without one. */
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        uint64_t mix =
            (uint64_t)now.tv_nsec * 2654435761u ^ (uint64_t)now.tv_sec ^ (uint64_t)(uintptr_t)&now;
        for (; done < size; ++done) {
            mix = mix * 6364136223846793005u + 1442695040888963407u;
            out[done] = (unsigned char)(mix >> 56);
        }
    }
}
