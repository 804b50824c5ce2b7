/* Imports one function that Windows XP lacks: the import check must fail on
   this program, naming the DLL and the function. */
#include <windows.h>

int main(void)
{
    return (int)(GetTickCount64() & 1);
}
