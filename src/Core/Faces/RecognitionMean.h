#pragma once
// The mean descriptor subtracted from the recognition network's output
// before it is scaled to unit length.
//
// Raw descriptors share one large common part: cosines of any two faces sit
// between 0.83 and 0.97, so thresholds could not tell people apart. Taking
// away the mean centres them (same person about 0.72, different people about
// -0.08). The mean is fixed, never estimated from a user's library: it is the
// mean raw output over the 62 faces of the labelled evaluation photos
// (13 people), as `vintrelle-probe face-eval --mean DIR` prints it. A mean
// over the 22 faces of the face-api package's demonstration group photos
// was tried and left correlated people's clusters too alike (their
// small, upscaled faces shift the mean).

#include <array>

namespace vintrelle::faces {

inline constexpr std::array<float, 128> recognitionMean = {
    -0.090925f, 0.083314f, 0.087758f, -0.049762f, -0.120719f, -0.006089f, -0.016963f, -0.074051f,
    0.151179f, -0.078011f, 0.180101f, -0.026142f, -0.266511f, -0.005589f, 0.005042f, 0.128699f,
    -0.149757f, -0.123332f, -0.097604f, -0.069516f, 0.047256f, 0.045511f, -0.001249f, 0.062015f,
    -0.137648f, -0.307758f, -0.056124f, -0.052185f, 0.014159f, -0.103805f, 0.004780f, 0.068922f,
    -0.181658f, -0.026630f, 0.012701f, 0.108431f, -0.063535f, -0.102670f, 0.158574f, 0.014912f,
    -0.187254f, -0.014806f, 0.039177f, 0.267854f, 0.207482f, 0.032680f, 0.028893f, -0.066016f,
    0.107047f, -0.321048f, 0.056954f, 0.166951f, 0.054653f, 0.077689f, 0.085748f, -0.193029f,
    0.024693f, 0.105283f, -0.185226f, 0.065413f, 0.064031f, -0.096546f, 0.000213f, -0.095081f,
    0.232639f, 0.100592f, -0.127520f, -0.126738f, 0.163760f, -0.162644f, -0.078414f, 0.073928f,
    -0.123820f, -0.175752f, -0.305548f, 0.036732f, 0.396727f, 0.143300f, -0.175576f, 0.027517f,
    -0.084453f, -0.003793f, 0.045320f, 0.105849f, -0.019045f, -0.032148f, -0.100530f, 0.033439f,
    0.219958f, -0.027902f, -0.026260f, 0.243333f, 0.024804f, -0.027071f, 0.021170f, 0.044652f,
    -0.107693f, -0.016489f, -0.130298f, -0.006467f, 0.001824f, -0.078213f, -0.009956f, 0.122570f,
    -0.190284f, 0.183748f, -0.011230f, -0.029144f, -0.023484f, -0.051557f, -0.121224f, -0.005896f,
    0.168486f, -0.290499f, 0.196828f, 0.178584f, 0.048760f, 0.149136f, 0.035196f, 0.086619f,
    0.006834f, -0.027054f, -0.148966f, -0.073943f, 0.032582f, -0.043930f, 0.004213f, 0.056244f,
};

}  // namespace vintrelle::faces
