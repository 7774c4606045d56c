#pragma once
// The product's name, spelled once; both text catalogues build on it. A macro
// so that it joins other string literals of either width at compile time.
#define VELMORA_PRODUCT_NAME "Velmora"
#define VELMORA_VERSION_TEXT "1.0"
