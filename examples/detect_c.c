/* A C host of the plain-function interface: detects the objects of one image file and prints one
 * line per box, then shows that unreadable and in-memory images give no boxes.
 * usage: detect_c <cfg> <weights> <image> [second image] */
#include "quillon.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: detect_c <cfg> <weights> <image> [second image]\n");
        return 2;
    }
    printf("cuda %d cudnn %d opencv %d devices %d\n", built_with_cuda(), built_with_cudnn(), built_with_opencv(),
           get_device_count());
    init(argv[1], argv[2], 0, 1);
    bbox_t *boxes = (bbox_t *)calloc(DETECT_IMAGE_MAX_BOXES, sizeof(bbox_t));
    if (!boxes) return 1;
    const int n = detect_image(argv[3], boxes);
    printf("boxes %d\n", n);
    for (int i = 0; i < n && i < DETECT_IMAGE_MAX_BOXES; ++i)
        printf("box class_id=%u x=%u y=%u w=%u h=%u prob=%f\n", boxes[i].class_id, boxes[i].x, boxes[i].y, boxes[i].w,
               boxes[i].h, boxes[i].prob);
    if (argc > 4) printf("missing %d\n", detect_image(argv[4], boxes));
    printf("mat %d\n", detect_mat(NULL, 0, boxes));
    free(boxes);
    dispose();
    return 0;
}
