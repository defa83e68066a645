// Carries the program's Windows resources (src/app/lan2com.rc) in a Qt-free executable, so that
// the Windows tests can read back what the program's build embeds. Never run.
int main() {
    return 0;
}
