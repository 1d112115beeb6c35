// Entry point of tarvenox.
int main() { return 0; }
