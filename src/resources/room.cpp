// Room in the stub's resource section for what a publisher packs into it:
// file properties and an icon (mkinstaller rebuilds the section's tree in
// these bytes). The linker puts ".rsrc$*" input sections after the
// resource compiler's ".rsrc", in one section, and keeps them whatever
// garbage collection finds; zeros here are what the tree is rebuilt over.
// The size leaves the stub 1 KiB for its own growth within PAYLOAD_OFFSET.
__attribute__((section(".rsrc$z"), used)) const unsigned char resource_room[11264] = {};
