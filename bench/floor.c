/* The least a run can do to patch one setup file: open it, read it whole
 * in one call, set the four strategy bytes and the trailer, write body and
 * trailer back in one call, close, and print the report in one call. No
 * argument is checked and no error handled: this is a yardstick for the
 * benchmark, not a tool. Usage: pitmix_floor FILE P1 P2 P3 (a 92-byte GP3
 * file and three percentages). */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
    (void)argc;
    unsigned char file[92];
    int fd = open(argv[1], O_RDWR);
    ssize_t size = read(fd, file, sizeof file);
    int p[3] = {atoi(argv[2]), atoi(argv[3]), atoi(argv[4])};
    file[42] = 3;
    file[44] = (unsigned char)p[0];
    file[45] = (unsigned char)p[1];
    file[46] = (unsigned char)p[2];
    unsigned sum = 0, rot = 0;
    for (ssize_t i = 0; i < size - 4; ++i) {
        sum = (sum + file[i]) & 0xFFFF;
        rot = (((rot << 3) | (rot >> 13)) + file[i]) & 0xFFFF;
    }
    file[88] = (unsigned char)sum;
    file[89] = (unsigned char)(sum >> 8);
    file[90] = (unsigned char)rot;
    file[91] = (unsigned char)(rot >> 8);
    if (pwrite(fd, file + 32, 60, 32) != 60) return 1;
    close(fd);
    char report[512];
    int length = snprintf(report, sizeof report,
                          "Pitmix v2.0 floor\nGP3 Car Setup file '%s' has been patched to a 3 stop strategy\n"
                          "with pitstops at %d%%, %d%%, and %d%% of the total race distance.\n",
                          argv[1], p[0], p[1], p[2]);
    return write(1, report, (size_t)length) == length ? 0 : 1;
}
