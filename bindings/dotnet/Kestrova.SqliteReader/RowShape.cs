namespace Kestrova.SqliteReader
{
    /// <summary>How QueryJson and Pages write each row.</summary>
    public enum RowShape
    {
        /// <summary>An object keyed by column name, as the library writes it:
        /// {"id":1,"name":"Ada"}. Where names repeat (SELECT o.id, a.id), the
        /// object holds the name twice, which many JSON readers keep only
        /// once.</summary>
        Objects,

        /// <summary>An array of the values in column order: [1,"Ada"]. Every
        /// value stays, whatever the names; "columns" names them.</summary>
        Arrays,
    }
}
