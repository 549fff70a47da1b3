// Counts the process's open descriptors, to check that nothing leaks one.
#ifndef TESTS_SUPPORT_FD_COUNT_H_
#define TESTS_SUPPORT_FD_COUNT_H_

int open_fd_count();

#endif  // TESTS_SUPPORT_FD_COUNT_H_
