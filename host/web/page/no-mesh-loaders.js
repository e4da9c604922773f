// Stands in for the mesh file loaders urdf-loader imports (STL, COLLADA): orvane-web serves no
// mesh files and view3d.js draws primitive shapes only, so 80 KB of loaders would never run.
export class STLLoader {}
export class ColladaLoader {}
