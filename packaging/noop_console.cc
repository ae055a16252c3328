// A console program that only starts and exits, built with the installer's
// flags; the benchmark compares the installer's run time with it.

int wmain() {
  return 0;
}
