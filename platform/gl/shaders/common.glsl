#define MAX_LIGHTS 16
uniform vec3 uAmbient;
uniform int uLightCount;
// per light: colour.rgb type | position.xyz range | direction.xyz cosUmbra | c l q cosPenumbra
uniform vec4 uLights[MAX_LIGHTS * 4];
uniform vec3 uEye;
uniform float uPower;
uniform mat4 uWorld;
uniform mat3 uNormalMat;

// Corners of a face without area have no direction of their own: light them as if they
// faced the eye rather than let a zero length spoil the sum.
vec3 unitNormal(vec3 n, vec3 P) {
    float l = dot(n, n);
    if (!(l > 1e-20) || isinf(l)) n = uEye - P;
    return normalize(n);
}

void lightAt(vec3 P, vec3 N, out vec3 diff, out vec3 specular) {
    diff = uAmbient;
    specular = vec3(0.0);
#if SIMPLE_LIGHTS
    // Only directional lights and no highlight (the usual scene): far less work per pixel.
    for (int i = 0; i < uLightCount; ++i)
        diff += uLights[i * 4].rgb * max(dot(N, -uLights[i * 4 + 2].xyz), 0.0);
    return;
#elif DIRECTIONAL_LIGHTS
    // Only directional lights: what the loop below does for them, without the rest.
    for (int i = 0; i < uLightCount; ++i) {
        vec3 L = -uLights[i * 4 + 2].xyz;
        float ndl = dot(N, L);
        if (ndl <= 0.0) continue;
        diff += uLights[i * 4].rgb * ndl;
        if (uPower > 0.0) {
            vec3 H = normalize(L + normalize(uEye - P));
            specular += uLights[i * 4].rgb * pow(max(dot(N, H), 0.0), uPower);
        }
    }
    return;
#endif
    for (int i = 0; i < uLightCount; ++i) {
        vec4 a = uLights[i * 4];
        vec4 b = uLights[i * 4 + 1];
        vec4 c = uLights[i * 4 + 2];
        vec4 d = uLights[i * 4 + 3];
        int type = int(a.w);
        vec3 L;
        float att = 1.0;
        if (type == 0) {
            L = -c.xyz;
        } else {
            vec3 toLight = b.xyz - P;
            float dist = length(toLight);
            if (dist > b.w) continue;
            L = toLight / max(dist, 1e-6);
            float denom = d.x + d.y * dist + d.z * dist * dist;
            att = denom > 1.0 ? 1.0 / denom : 1.0;
            if (type == 2) {
                float cs = dot(-L, c.xyz);
                if (cs < d.w) continue;
                if (cs < c.w) att *= (cs - d.w) / max(c.w - d.w, 1e-6);
            }
        }
        float ndl = dot(N, L);
        if (ndl <= 0.0) continue;
        diff += a.rgb * (ndl * att);
        if (uPower > 0.0) {
            vec3 H = normalize(L + normalize(uEye - P));
            specular += a.rgb * (pow(max(dot(N, H), 0.0), uPower) * att);
        }
    }
}
