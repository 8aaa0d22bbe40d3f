#include "support/utils/ks_utils_common.h"

#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace ks_utils_common {

void echo_off(int fd, termios* saved) {
  tcgetattr(fd, saved);
  termios quiet = *saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(fd, TCSANOW, &quiet);
}

void echo_on(int fd, termios* saved) { tcsetattr(fd, TCSANOW, saved); }

int getkey() {
  termios saved;
  tcgetattr(STDIN_FILENO, &saved);
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  int c = fgetc(stdin);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return c;
}

void get_client_secret_input(std::string& text) {
  termios saved;
  echo_off(STDIN_FILENO, &saved);
  text.clear();
  std::getline(std::cin, text);
  std::cout << std::endl;  // the user's Enter was not echoed
  echo_on(STDIN_FILENO, &saved);
}

std::string get_loginname() {
  if (char const* name = getlogin()) return name;
  if (passwd const* pw = getpwuid(geteuid())) {
    if (pw->pw_name) return pw->pw_name;
  }
  return std::string();
}

}  // namespace ks_utils_common
