#pragma once

// How a detector scales an image to its network input.
enum class YoloResizeMode : int {
    NEAREST = 0,     // nearest neighbour: fastest, aliases when shrinking
    AREA = 1,        // pixel-area averaging: best when shrinking
    COMPROMISE = 2,  // bilinear: what models trained on bilinear resizing expect
    DARKNET = 3,     // bilinear with aligned corners, as Darknet's own resize_image
};
