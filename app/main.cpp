// Program entry (replaced by the foundation's entry).
int main() { return 0; }
