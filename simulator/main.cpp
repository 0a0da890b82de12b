// Placeholder until the simulator is written.
int main() { return 1; }
