// The object of the targets that hold the shared precompiled headers (QuilletPch.cmake);
// the program's main does nothing and is never run.
int main()
{
    return 0;
}
