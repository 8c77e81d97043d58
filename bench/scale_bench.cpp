// N peer pairs across two processes (being written).
int main() { return 0; }
