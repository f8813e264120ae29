// Built for the target machine and run once at configure time: it runs,
// and exits 0, only where this kernel can run the target's programs.
int main() {
  return 0;
}
