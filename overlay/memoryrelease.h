#pragma once

// Gives back what a closed pen leaves behind, so a resident tray program returns to about its
// idle size: the style's button images in Qt's pixmap cache (every opening's toolbar has new
// palettes, so none of them is ever drawn again) and the freed stroke layers and window buffers
// that glibc's allocator would otherwise keep.
void releaseFreedMemory();
