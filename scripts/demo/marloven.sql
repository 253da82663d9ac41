-- Users of the demo database: one for most station rows 1..12. Code 7 has no user, code 9 has
-- no name (NULL), and code 3's name is stored with trailing blanks.
CREATE TABLE GenUsu (UsuCDG integer, Nombre text);
INSERT INTO GenUsu (UsuCDG, Nombre) VALUES
    (1, 'María José Peña Ortiz'),
    (2, 'Andrés Gómez Ruiz'),
    (3, 'Íñigo Sáenz   '),
    (4, 'Lucía Fernández Castaño'),
    (5, 'José Ángel Martín'),
    (6, 'Nuria Domínguez'),
    (8, 'Ramón Núñez Barrios'),
    (9, NULL),
    (10, 'Sofía Alcañiz'),
    (11, 'Óscar Valverde Muñoz'),
    (12, 'Begoña Muñiz Ibáñez');
