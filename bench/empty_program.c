/* The floor of an executable map's start: a static C program that does nothing. */
int main(void) { return 0; }
