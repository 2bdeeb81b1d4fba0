/* The public header compiles as C99 and the shared library links from C. */
#include <stdio.h>
#include <string.h>

#include "norv.h"

int main(void) {
    int failures = 0;
    TimedSocket socket = {0};
    ActivityNames names = {"appmod1", "timelyExec", "timelyExec_wcet"};
    if (sizeof(FailureNotice) != 48) ++failures;
    if (MAX_MACHINES != 5 || TIMED_HEADER_SIZE != 184) ++failures;
    if (UNKNOWN_DELAY_ERROR != 72057594037927935ULL) ++failures;
    if (getNORVTimestamp(-1) != UINT64_MAX) ++failures;
    if (getNORVid(-1) != -1) ++failures;
    if (startNORVExec(-1, 1, 2, 3, names, "x") != UINT64_MAX) ++failures;
    /* The library, the header and the packages (PROJECT_VERSION) agree. */
    if (strcmp(NORVversion(), NORV_VERSION) != 0) ++failures;
    if (strcmp(NORV_VERSION, PROJECT_VERSION) != 0) ++failures;
    socket.udpSocket = -1;
    (void)socket;
    printf("library %s, header %s: %d passed, %d failed\n", NORVversion(), NORV_VERSION,
           9 - failures, failures);
    return failures != 0;
}
