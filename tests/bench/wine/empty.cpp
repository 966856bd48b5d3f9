// A process that does nothing: its whole-run time under Wine is the process
// start and exit that every other program in the benchmark pays as well.
int main()
{
    return 0;
}
