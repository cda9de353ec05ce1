/* Does nothing: if it runs, the machine runs programs of this architecture. */
int main(void) { return 0; }
