// Anchor of the resource library; the embedded arrays are added next to it by the build.
