/* Calls two of the module's routines through its installed header. */
#include <Kelvane_LiDAR.h>

#include <stdio.h>

int main(void) {
    int32_t values[] = {2, 1, 2, 1, 2};
    int32_t indices[] = {0, 1, 2, 3, 4};
    l_quicksort(values, 5, indices);
    for (int k = 0; k < 5; ++k) printf("%d:%d ", (int)values[k], (int)indices[k]);
    printf("\nY gives %d\n", (int)check_YN("Y"));
    int status = check_YN("maybe");
    printf("maybe gives %d\n", status);
    return 0;
}
