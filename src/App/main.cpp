// The process entry; the application shell hands the process to the platform's main loop.
int main() { return 0; }
