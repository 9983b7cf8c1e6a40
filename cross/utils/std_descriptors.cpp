#include "cross/utils/std_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

void ReopenStandardDescriptorsOnDevNull() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    int null = open("/dev/null", O_RDWR);
    if (null < 0) return;
    if (null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}
