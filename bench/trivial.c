/* The yardstick of the start-up figure: a C program that does nothing. */
int main(void) { return 0; }
