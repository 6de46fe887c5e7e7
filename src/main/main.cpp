// main.cpp: being written.
int main() { return 0; }
