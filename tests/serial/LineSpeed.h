// The line speed a terminal really has, read through the kernel's arbitrary-rate interface
// (its headers clash with <termios.h>, hence a file of its own).
#pragma once

// 0 when it cannot be read.
unsigned ReadLineSpeed(int fd);
